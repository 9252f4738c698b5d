#!/usr/bin/env bash
# The second compiler and the static checks: the layout of every source
# against .clang-format, then a build of every program, module and test with
# clang (-Werror) in build-clang/, then clang-tidy with the project's
# .clang-tidy over every source of the programs and modules. Any finding fails.
#   lint.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-clang

cd "$here"
if ! findings=$(git ls-files '*.cc' '*.h' '*.c' | xargs clang-format --dry-run --Werror 2>&1); then
  printf '%s\n' "$findings" | head -n 40
  echo "lint: sources differ from .clang-format (clang-format -i FILE mends them)"
  exit 1
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DZARN_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

sources="$here/(libzarn|gw-runner|modules|zarn-router|zarn-auth|macwatch|session-reaper|tools)/.*\.cc$"
log=$build/clang-tidy.log
if ! run-clang-tidy -p "$build" -j"$(nproc)" -quiet "$sources" >"$log" 2>&1 || grep -q -E '(warning|error): ' "$log"; then
  grep -E -A3 '(warning|error): ' "$log" | sed 's/\x1b\[[0-9;]*m//g' | head -n 80
  echo "lint: clang-tidy found problems (whole output in $log)"
  exit 1
fi
echo "lint: layout, clang build and clang-tidy clean"
