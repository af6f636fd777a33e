#!/usr/bin/env bash
# Runs the thread stress test under ThreadSanitizer: a free-threaded interpreter built with it
# (scripts/free-threaded-python.sh --tsan, once, about 13 minutes), the extension built with
# -fsanitize=thread for it, and tests/python/test_threads.py for as long as asked; then the native
# tests that run threads inside the module, built with -fsanitize=thread too.
#
#   scripts/tsan-stress.sh [SECONDS]     (default 60)
#
# Every report must be one that tools/sanitizers/tsan-python.supp explains (wholly inside the
# interpreter); the script fails on any other. Not part of CI: the interpreter build is long.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

python=$(bash scripts/free-threaded-python.sh --tsan | tail -1)
root=build/tsan
venv=$root/venv
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --only-binary=:all: "pytest>=8"

cmake -S . -B "$root/build" -G Ninja -DVELTRIX_WERROR=ON -DVELTRIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$PWD/$venv/bin/python" >"$root/configure.log"
cmake --build "$root/build" -j "$(nproc)" >"$root/build.log"

log=$root/tsan-report
rm -f "$log".*
status=0
# The stress test's graphs are small: VELTRIX_PARALLEL_MIN=0 has their reductions take the
# parallel steps too, while other threads record and reduce.
TSAN_OPTIONS="suppressions=$PWD/tools/sanitizers/tsan-python.supp log_path=$PWD/$log second_deadlock_stack=1 halt_on_error=0" \
  VELTRIX_PARALLEL_MIN=0 PYTHONPATH="$root/build/python" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  tests/python/test_threads.py --stress-seconds="$seconds" || status=$?

# The native tests that run threads inside the module: the worker pool, concurrent interning,
# snapshots read while the store grows (and copies its table), concurrent symbol interning, fusion
# overlapped with its sink, and the parallel steps of a reduction.
cmake -S . -B "$root/native" -G Ninja -DVELTRIX_WERROR=ON -DVELTRIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTRIX_BUILD_PYTHON=OFF -DVELTRIX_BUILD_TESTS=ON >"$root/native-configure.log"
cmake --build "$root/native" -j "$(nproc)" >"$root/native-build.log"
TSAN_OPTIONS="log_path=$PWD/$log second_deadlock_stack=1 halt_on_error=0" \
  ctest --test-dir "$root/native" --output-on-failure --repeat until-fail:3 \
  -R 'ThreadPool|Concurrent|Snapshots|Parallel' || status=$?

reports=$(cat "$log".* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)
echo "tsan-stress: $reports unexplained ThreadSanitizer reports (logs: $log.*)"
[ "$reports" = 0 ] && [ "$status" = 0 ]
