#!/usr/bin/env bash
# Checks the layout and the lint rules of every tracked source file: clang-format for C++
# (.clang-format), ruff's linter and formatter for Python (pyproject.toml). Changes nothing;
# `scripts/lint.sh --fix` rewrites the files instead. Ends with one line: "lint: ok" or what failed.
set -uo pipefail
cd "$(dirname "$0")/.."

fix=0
[ "${1:-}" = "--fix" ] && fix=1
ruff=.venv/bin/ruff
# .inl files hold template and inline definitions included by headers: C++ like the rest.
mapfile -t cxx < <(git ls-files '*.cpp' '*.h' '*.inl')
failed=()

if [ "$fix" = 1 ]; then
  clang-format -i "${cxx[@]}"
  "$ruff" check --fix --quiet .
  "$ruff" format --quiet .
fi
clang-format --dry-run -Werror "${cxx[@]}" || failed+=("clang-format")
"$ruff" check --quiet . || failed+=("ruff check")
"$ruff" format --check --quiet . || failed+=("ruff format")

if [ ${#failed[@]} -eq 0 ]; then
  echo "lint: ok (${#cxx[@]} C++ files, $(git ls-files '*.py' | wc -l) Python files)"
else
  echo "lint: failed: ${failed[*]} (scripts/lint.sh --fix rewrites the files)"
  exit 1
fi
