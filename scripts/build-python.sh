#!/usr/bin/env bash
# Builds and installs the extension module into .venv. Pass --werror for development and CI
# builds (warnings are errors there, never in a user's own `pip install .`). The build tree is
# kept in build/wheel, so a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
args=(-C build-dir=build/wheel)
if [ "${1:-}" = "--werror" ]; then args+=(-C cmake.define.VELTRIX_WERROR=ON); fi
.venv/bin/python -m pip install -q --no-build-isolation "${args[@]}" .
