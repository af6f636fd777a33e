#!/usr/bin/env bash
# Builds and installs the extension module into .venv. Pass --werror for development and CI
# builds (warnings are errors there, never in a user's own `pip install .`). The build tree is
# kept in build/wheel, so a second run rebuilds only what changed. pip's whole output goes to the
# log (default build/logs/python-build.log); the console shows the build's progress.
#
#   scripts/build-python.sh [--werror] [--log FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/progress.sh
args=(-C build-dir=build/wheel)
log=build/logs/python-build.log
while [ $# -gt 0 ]; do
  case "$1" in
    --werror) args+=(-C cmake.define.VELTRIX_WERROR=ON); shift ;;
    --log) log=$2; shift 2 ;;
    *) echo "usage: $0 [--werror] [--log FILE]" >&2; exit 2 ;;
  esac
done
echo "build-python: building veltrix_core and installing it into .venv"
# -v: pip passes the build's own output (ninja's [n/m] lines) through to the log as it comes.
run_logged "$log" build .venv/bin/python -m pip install -v --no-build-isolation "${args[@]}" . || {
  tail -40 "$log"
  exit 1
}
