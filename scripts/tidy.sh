#!/usr/bin/env bash
# Runs clang-tidy's bug-finding checks (.clang-tidy) over the library and the binding, using the
# compile commands of the dev build (configured here when missing). Not part of the test run: a
# full pass takes several minutes and reports need a reader. Usage: scripts/tidy.sh [file...]
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-tidy >/dev/null 2>&1; then
  as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-tidy >/dev/null
fi
bash scripts/setup.sh >/dev/null
if [ ! -f build/dev/compile_commands.json ]; then
  cmake --preset dev >/dev/null
fi
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files 'src/*.cpp')
else
  files=("$@")
fi
# clang does not know every g++ warning flag the build passes, and the fuzz harnesses' shim
# supplies std::source_location where clang's library lacks it.
status=0
for f in "${files[@]}"; do
  clang-tidy --quiet -p build/dev --extra-arg=-Wno-unknown-warning-option \
    --extra-arg=-include --extra-arg="$PWD/tests/fuzz/source_location_compat.h" "$f" || status=1
done
exit $status
