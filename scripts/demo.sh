#!/usr/bin/env bash
# Sets up the machine, builds the module and runs the demo: a realistic graph recorded,
# reduced, and shown.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
bash scripts/build-python.sh
# The demo runs in the caller's folder, so that the command it suggests at the end works there
# as printed.
cd "$caller"
exec "$root/.venv/bin/python" "$root/examples/demo.py" "$@"
