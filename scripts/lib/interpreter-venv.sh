# Sourced by test.sh and test-matrix.sh. For an interpreter other than .venv's: a virtual
# environment in build/venvs/LABEL with the test packages as binary wheels only (one with no
# wheel for that interpreter makes the tests that need it skip, with the reason; none may need a
# compiler), and the package built there with warnings as errors, in build/wheel-LABEL.
#
#   install_for_interpreter INTERPRETER LABEL PIP_LOG BUILD_LOG
# Prints the environment's python (notes and the build's progress go to standard error); fails
# when the package did not build.
source "$(dirname "${BASH_SOURCE[0]}")/progress.sh"

install_for_interpreter() {
  local interpreter=$1 label=$2 pip_log=$3 build_log=$4
  local venv=build/venvs/$label
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv" || return 1
  "$venv/bin/python" -m pip install -q --only-binary=:all: "scikit-build-core>=0.10" "pytest>=8" >"$pip_log" 2>&1 ||
    tail -20 "$pip_log" >&2
  local optional
  for optional in "hypothesis>=6" "numpy>=2" "ipython>=8"; do
    "$venv/bin/python" -m pip install -q --only-binary=:all: "$optional" >>"$pip_log" 2>&1 ||
      echo "note: $optional has no binary wheel for $label; its tests skip" >&2
  done
  run_logged "$build_log" "build ($label)" "$venv/bin/python" -m pip install -v --no-build-isolation \
    -C cmake.define.VELTRIX_WERROR=ON -C "build-dir=build/wheel-$label" . || return 1
  echo "$venv/bin/python"
}
