#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer) and the Python tests against the installed
# module. The output ends with the summary lines of ctest and pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
logs=build/test-logs
mkdir -p "$logs"
status=0

native_suite() {  # name, extra cmake args...
  local name=$1
  shift
  echo "== native tests ($name)"
  cmake -S . -B "build/$name" -G Ninja -DVELTRIX_WERROR=ON -DVELTRIX_BUILD_TESTS=ON -DVELTRIX_BUILD_PYTHON=OFF "$@" \
    >"$logs/$name-configure.log" 2>&1 || { cat "$logs/$name-configure.log"; return 1; }
  cmake --build "build/$name" -j "$jobs" >"$logs/$name-build.log" 2>&1 || { tail -50 "$logs/$name-build.log"; return 1; }
  (cd "build/$name" && ctest -j "$jobs" --output-on-failure) 2>&1 | tee "$logs/$name-ctest.log"
  return "${PIPESTATUS[0]}"
}

native_suite native -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  native_suite sanitized -DCMAKE_BUILD_TYPE=Debug -DVELTRIX_SANITIZE=ON || status=1

echo "== Python tests"
if bash scripts/build-python.sh --werror >"$logs/python-build.log" 2>&1; then
  # The interpreter's debug allocator fills freed memory, so a use of a Python object after its
  # release shows up as a failure instead of passing by luck.
  PYTHONMALLOC=debug .venv/bin/python -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee "$logs/pytest.log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
else
  tail -50 "$logs/python-build.log"
  echo "pytest not run: the extension failed to build" | tee "$logs/pytest.log"
  status=1
fi

echo
echo "== summary"
for name in native sanitized; do
  line=$(grep -E 'tests passed|tests failed' "$logs/$name-ctest.log" 2>/dev/null | tail -1)
  echo "ctest ($name): ${line:-did not run}"
done
tail -1 "$logs/pytest.log"
exit $status
