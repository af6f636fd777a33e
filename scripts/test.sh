#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer), and the Python tests three ways: against the
# installed module, against the module built with AddressSanitizer + UndefinedBehaviorSanitizer,
# and on a free-threaded interpreter (built once from source, see free-threaded-python.sh); the
# type stubs against the installed module, the documentation build, and the sources' layout and
# lint rules (lint.sh). The output ends with the summary lines of ctest and pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
source scripts/lib/progress.sh

jobs=$(nproc 2>/dev/null || echo 2)
logs=build/test-logs
mkdir -p "$logs"
status=0

native_suite() {  # name, extra cmake args...
  local name=$1
  shift
  echo "== native tests ($name)"
  cmake -S . -B "build/$name" -G Ninja -DVELTRIX_WERROR=ON -DVELTRIX_BUILD_TESTS=ON -DVELTRIX_BUILD_PYTHON=OFF "$@" \
    >"$logs/$name-configure.log" 2>&1 || { cat "$logs/$name-configure.log"; return 1; }
  run_logged "$logs/$name-build.log" build cmake --build "build/$name" -j "$jobs" || { tail -50 "$logs/$name-build.log"; return 1; }
  (cd "build/$name" && ctest -j "$jobs" --output-on-failure) 2>&1 | tee "$logs/$name-ctest.log"
  return "${PIPESTATUS[0]}"
}

python_suite() {  # name, interpreter, then environment assignments for the run
  local name=$1 python=$2
  shift 2
  echo "== Python tests ($name)"
  env "$@" "$python" -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee "$logs/pytest-$name.log"
  return "${PIPESTATUS[0]}"
}

# The leak checker stops every thread of the process at exit to scan their stacks, and on rare
# runs its own tracer crashes doing so ("LeakSanitizer has encountered a fatal error"): no leak
# and no failed test is reported then, only that the check could not finish. Such a run is
# repeated once, saying so; a leak report or a failed test never is.
sanitized_suite() {  # environment assignments for the run
  python_suite sanitized .venv/bin/python "$@" && return 0
  local log="$logs/pytest-sanitized.log"
  if grep -q "LeakSanitizer has encountered a fatal error" "$log" &&
     ! grep -q "detected memory leaks" "$log" && ! grep -Eq "[0-9]+ (failed|errors?)" "$log"; then
    echo "the leak checker crashed while stopping threads at exit (no finding); running the suite again"
    cp "$log" "$logs/pytest-sanitized-first.log"
    python_suite sanitized .venv/bin/python "$@"
    return
  fi
  return 1
}

python_not_run() {  # name, reason
  echo "pytest not run: $2" | tee "$logs/pytest-$1.log"
  return 1
}

echo "== layout and lint"
bash scripts/lint.sh 2>&1 | tee "$logs/lint.log"
[ "${PIPESTATUS[0]}" = 0 ] || status=1

native_suite native -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  native_suite sanitized -DCMAKE_BUILD_TYPE=Debug -DVELTRIX_SANITIZE=ON || status=1

# The installed module. The interpreter's debug allocator fills freed memory, so a use of a
# Python object after its release shows up as a failure instead of passing by luck. Every test
# package must be there: nothing may skip for want of one on this interpreter.
echo "== Python build"
if bash scripts/build-python.sh --werror --log "$logs/python-build.log"; then
  python_suite installed .venv/bin/python PYTHONMALLOC=debug VELTRIX_REQUIRE_TEST_PACKAGES=1 || status=1
  installed=1
else
  python_not_run installed "the extension failed to build" || status=1
  installed=0
fi

# What type checkers and readers get, checked against the installed package: mypy --strict over
# the whole package (the stub and every Python module); mypy's stubtest over the whole package
# (the compiled module against its stub, each Python module against itself as imported; what
# it may not hold against them is in tests/typing/stubtest-allowlist.txt, each with its reason);
# and the typing test, which holds what mypy must infer and refuse. The documentation builds
# with warnings as errors (its pictures and command outputs are made by the installed module).
# mypy runs in the repository's root and stubtest in an empty folder (it keeps its cache in the
# folder it runs in): neither holds a veltrix_core folder that would hide the installed one.
typing_step() {  # label, command...: its output into the typing log, its last line into the summary
  local label=$1 out rc
  shift
  out=$("$@" 2>&1)
  rc=$?
  printf '%s\n' "$out" | tee -a "$logs/typing.log"
  typing_results+=("$label: $(printf '%s\n' "$out" | tail -1)")
  return $rc
}
typing_suite() {
  echo "== typing (mypy --strict, stubtest, typing test)"
  local cache=build/mypy-cache stubtest=build/stubtest failed=0
  : >"$logs/typing.log"
  typing_results=()
  rm -rf "$stubtest" && mkdir -p "$stubtest"
  typing_step "mypy --strict" .venv/bin/python -m mypy --cache-dir "$cache" --strict -p veltrix_core || failed=1
  typing_step stubtest bash -c "cd $stubtest && ../../.venv/bin/python -m mypy.stubtest veltrix_core \
    --allowlist ../../tests/typing/stubtest-allowlist.txt" || failed=1
  typing_step "typing test" .venv/bin/python -m mypy --cache-dir "$cache" --strict --warn-unused-ignores \
    tests/typing/usage.py || failed=1
  local joined
  joined=$(printf '%s; ' "${typing_results[@]}")
  echo "${joined%; }" | tee -a "$logs/typing.log"
  return $failed
}
docs_suite() {
  echo "== documentation"
  bash scripts/docs.sh --installed 2>&1 | tee "$logs/docs.log"
  return "${PIPESTATUS[0]}"
}
if [ "$installed" = 1 ]; then
  typing_suite || status=1
  docs_suite || status=1
else
  echo "not run: the extension failed to build" | tee "$logs/typing.log" "$logs/docs.log"
  status=1
fi

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, loaded into the
# ordinary interpreter with the sanitizer runtime preloaded and Python's own allocator replaced
# by malloc, so that the sanitizer sees every object. Leaks the interpreter itself leaves at exit
# are suppressed (tools/sanitizers/lsan-python.supp). numpy runs on one thread there: its idle
# thread pool would only give the leak checker more threads to stop at exit.
echo "== sanitized Python build"
if cmake -S . -B build/python-sanitized -G Ninja -DVELTRIX_WERROR=ON -DVELTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
     -DPython_EXECUTABLE="$PWD/.venv/bin/python" >"$logs/python-sanitized-build.log" 2>&1 &&
   run_logged --append "$logs/python-sanitized-build.log" build cmake --build build/python-sanitized -j "$jobs"; then
  runtime="$(readlink -f "$(g++ -print-file-name=libasan.so)") $(readlink -f "$(g++ -print-file-name=libubsan.so)")"
  sanitized_suite PYTHONPATH=build/python-sanitized/python PYTHONMALLOC=malloc OPENBLAS_NUM_THREADS=1 \
    LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$PWD/tools/sanitizers/lsan-python.supp:print_suppressions=0" \
    VELTRIX_REQUIRE_TEST_PACKAGES=1 || status=1
else
  tail -50 "$logs/python-sanitized-build.log"
  python_not_run sanitized "the sanitized extension failed to build" || status=1
fi

# A free-threaded interpreter: the module must run there without turning the GIL back on.
source scripts/lib/interpreter-venv.sh
echo "== free-threaded interpreter and build"
if ft_python=$(bash scripts/free-threaded-python.sh 2> >(tee "$logs/free-threaded-python.log" >&2) | tail -1) &&
   [ -x "$ft_python" ]; then
  if ft_venv_python=$(install_for_interpreter "$ft_python" 3.13t "$logs/free-threaded-pip.log" \
       "$logs/free-threaded-build.log"); then
    python_suite free-threaded "$ft_venv_python" || status=1
  else
    tail -50 "$logs/free-threaded-build.log"
    python_not_run free-threaded "the extension failed to build for the free-threaded interpreter" || status=1
  fi
else
  python_not_run free-threaded "no free-threaded interpreter could be built" || status=1
fi

echo
echo "== summary"
tail -1 "$logs/lint.log" 2>/dev/null || echo "lint: did not run"
echo "typing: $(tail -1 "$logs/typing.log" 2>/dev/null || echo did not run)"
docs=$(tail -1 "$logs/docs.log" 2>/dev/null || echo did not run)
echo "docs: ${docs#docs: }"
for name in native sanitized; do
  echo "ctest ($name):"
  line=$(grep -E 'tests passed|tests failed' "$logs/$name-ctest.log" 2>/dev/null | tail -1)
  echo "${line:-did not run}"
done
for name in installed sanitized free-threaded; do
  echo "pytest ($name):"
  tail -1 "$logs/pytest-$name.log"
done
exit $status
