#!/usr/bin/env bash
# Installs what the tests need on a fresh machine, builds, and runs every test:
# the normal build first, then the sanitizer build of every program and module
# over the same tests (the demo and the package, which build on their own, aside),
# then a clang build with clang-tidy (scripts/lint.sh), then every fuzz target
# for a few seconds.
#   run-tests.sh            everything
#   run-tests.sh -L unit    only tests with that label (passed on to ctest)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/ensure-zarn-user.sh"
mkdir -p /zarn

echo "== build"
"$here/scripts/build.sh" "$here/build"
echo "== tests"
(cd "$here/build" && ctest -j"$(nproc)" --output-on-failure --timeout 600 "$@")

if [ $# -eq 0 ]; then
  echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
  "$here/scripts/build.sh" "$here/build-asan" -DZARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  (cd "$here/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest -j"$(nproc)" --output-on-failure --timeout 600 -E '^(demo|debian_package)$')

  echo "== second compiler and static checks (clang, clang-tidy)"
  "$here/scripts/lint.sh"

  echo "== fuzz targets (clang, libFuzzer), 10 seconds each"
  "$here/scripts/fuzz.sh" 10
fi
