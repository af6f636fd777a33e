#!/usr/bin/env bash
# Builds and installs the extension module into .venv. Pass --werror for development and CI
# builds (warnings are errors there, never in a user's own `pip install .`).
set -euo pipefail
cd "$(dirname "$0")/.."
args=()
if [ "${1:-}" = "--werror" ]; then args+=(-C cmake.define.VELTRIX_WERROR=ON); fi
.venv/bin/python -m pip install -q --no-build-isolation "${args[@]}" .
