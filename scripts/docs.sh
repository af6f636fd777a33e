#!/usr/bin/env bash
# Builds the documentation site into build/docs/html (or the folder given), with every Sphinx
# warning an error. The user guide's pictures and command outputs are made at build time by the
# installed module and Graphviz, so the module must be installed first (scripts/build-python.sh);
# the API reference is read from the type stubs.
#
#   scripts/docs.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/docs/html}
python=.venv/bin/python

command -v dot >/dev/null || { echo "docs: Graphviz's dot is needed for the pictures (scripts/setup.sh installs it)" >&2; exit 1; }
"$python" -m pip install -q "sphinx>=8,<10" "sphinx-autoapi>=3.4,<4"
"$python" -c "import veltrix_core" 2>/dev/null || { echo "docs: veltrix_core is not installed in .venv (run scripts/build-python.sh)" >&2; exit 1; }

rm -rf "$out" build/docs/doctrees
"$python" -m sphinx -W --keep-going -q -b html -d build/docs/doctrees docs "$out"
echo "docs: built $out/index.html"
