#!/usr/bin/env bash
# Sets up the machine, builds the module and runs the demo: a realistic graph recorded,
# reduced, and shown.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build-python.sh
exec .venv/bin/python examples/demo.py "$@"
