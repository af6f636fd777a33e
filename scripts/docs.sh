#!/usr/bin/env bash
# Builds the documentation site into build/docs/html (or the folder given), with every Sphinx
# warning an error. The user guide's pictures and command outputs are made at build time by the
# installed module and Graphviz, so like the demo it first sets up the machine (setup.sh) and
# builds and installs the module (build-python.sh); --installed skips both and uses the module
# already installed in .venv (the test run, which has just built and tested it). The API
# reference is read from the type stubs and the package's Python modules.
#
#   scripts/docs.sh [--installed] [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
installed=0
if [ "${1:-}" = "--installed" ]; then
  installed=1
  shift
fi
out=${1:-build/docs/html}
python=.venv/bin/python

if [ "$installed" = 0 ]; then
  bash scripts/setup.sh
  bash scripts/build-python.sh
fi
[ -x "$python" ] || { echo "docs: no .venv (run scripts/docs.sh without --installed, or scripts/setup.sh)" >&2; exit 1; }
command -v dot >/dev/null || { echo "docs: Graphviz's dot is needed for the pictures (scripts/setup.sh installs it)" >&2; exit 1; }
"$python" -m pip install -q "sphinx>=8,<10" "sphinx-autoapi>=3.4,<4"
"$python" -c "import veltrix_core" 2>/dev/null || { echo "docs: veltrix_core is not installed in .venv (run scripts/build-python.sh)" >&2; exit 1; }

rm -rf "$out" build/docs/doctrees
"$python" -m sphinx -W --keep-going -q -b html -d build/docs/doctrees docs "$out"
echo "docs: built $out/index.html"
