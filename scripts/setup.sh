#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a Python 3.13 virtual environment in .venv with the
# build and test tools. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev graphviz clang libclang-rt-14-dev clang-format)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python313() {
  local candidates=()
  if command -v pyenv >/dev/null 2>&1; then
    local v
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -rV); do
      candidates+=("$(PYENV_VERSION="$v" pyenv which python3.13 2>/dev/null || true)")
    done
  fi
  candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13 "$(command -v python3.13 2>/dev/null || true)")
  local c
  for c in "${candidates[@]}"; do
    if [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import sys, sysconfig, os; assert sys.version_info[:2] == (3, 13); assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

if [ ! -x .venv/bin/python ]; then
  PY=$(find_python313) || { echo "setup: no CPython 3.13 with headers found (pyenv 3.13.x or python3.13)" >&2; exit 1; }
  echo "setup: creating .venv from $PY"
  "$PY" -m venv .venv
fi
echo "setup: the build and test tools in .venv (pip installs only what is missing)"
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6" "numpy>=2" "dask>=2024.1" \
  "distributed>=2024.1" "pytest-timeout>=2"
# Type checking (stubtest and the typing test) and the notebook display's tests; ruff at a fixed
# release, so that its formatter's output does not change under the code.
.venv/bin/python -m pip install -q "mypy>=1.15" "ipython>=8" "ruff==0.17.6"
