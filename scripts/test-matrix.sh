#!/usr/bin/env bash
# Runs the Python suite on every interpreter the package supports: CPython 3.13 (.venv), and the
# free-threaded 3.13t, 3.14 and free-threaded 3.14t that scripts/free-threaded-python.sh builds
# from Debian's source packages (once; each takes a while). Each of those gets a virtual
# environment with the package built in it (scripts/lib/interpreter-venv.sh; 3.13t's is the one
# the test run uses). An interpreter that cannot be had (no source tarball, exit status 3 of
# free-threaded-python.sh) is reported as skipped. Not part of CI: the interpreter builds are long.
#
#   scripts/test-matrix.sh [FLAVOR ...]     (default: 3.13 3.13t 3.14 3.14t)
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null || exit 1
source scripts/lib/interpreter-venv.sh
flavors=("$@")
[ ${#flavors[@]} -gt 0 ] || flavors=(3.13 3.13t 3.14 3.14t)
logs=build/test-logs/matrix
mkdir -p "$logs"
status=0
declare -A result

for flavor in "${flavors[@]}"; do
  echo "== Python tests on $flavor"
  if [ "$flavor" = 3.13 ]; then
    python=.venv/bin/python
    bash scripts/build-python.sh --werror --log "$logs/$flavor-build.log" || {
      result[$flavor]="failed: the extension did not build"; status=1; continue; }
    built="$(.venv/bin/python -c 'import platform; print(platform.python_version())')"
  else
    case "$flavor" in
      3.13t) args=(--version 3.13) ;;
      3.14) args=(--version 3.14 --with-gil) ;;
      3.14t) args=(--version 3.14) ;;
      *) echo "test-matrix: unknown flavor $flavor" >&2; exit 2 ;;
    esac
    interpreter=$(bash scripts/free-threaded-python.sh "${args[@]}" 2> >(tee "$logs/$flavor-interpreter.log" >&2) | tail -1)
    code=${PIPESTATUS[0]}
    if [ "$code" = 3 ]; then
      result[$flavor]="skipped: no source tarball of this CPython could be had (see $logs/$flavor-interpreter.log)"
      echo "${result[$flavor]}"
      continue
    elif [ "$code" != 0 ] || [ ! -x "$interpreter" ]; then
      result[$flavor]="failed: the interpreter did not build"; status=1; continue
    fi
    built=$(cat "$(dirname "$(dirname "$interpreter")")/.complete")
    python=$(install_for_interpreter "$interpreter" "$flavor" "$logs/$flavor-pip.log" "$logs/$flavor-build.log") || {
      tail -30 "$logs/$flavor-build.log"; result[$flavor]="failed: the extension did not build"; status=1; continue; }
  fi
  # Every test package must be there for .venv, as in CI; elsewhere a missing one skips.
  require=()
  [ "$flavor" = 3.13 ] && require=(VELTRIX_REQUIRE_TEST_PACKAGES=1)
  env "${require[@]}" "$python" -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee "$logs/$flavor-pytest.log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  result[$flavor]="CPython $built: $(tail -1 "$logs/$flavor-pytest.log")"
done

echo
echo "== matrix"
for flavor in "${flavors[@]}"; do
  echo "$flavor  ${result[$flavor]}"
done
exit $status
