#!/usr/bin/env bash
# Configures and builds the project.
#   build.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
cmake -S "$here" -B "$build" -DZARN_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
