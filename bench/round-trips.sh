#!/usr/bin/env bash
# Builds, starts the private database server, installs the sandbox root and
# runs the round-trip benchmark inside the sandbox: queries and times of the
# router's operations with the database 0, 1 and 20 ms away.
#   bench/round-trips.sh [BUILD_DIR] [CLIENTS [ROUND_TRIPS_MS...]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
"$here/scripts/ensure-zarn-user.sh"
cmake --build "$build" -j2 --target round_trips >/dev/null
"$here/scripts/test-db.sh" start "$build/testdb"
"$here/scripts/install-root.sh" "$build" "$build/root" >/dev/null
exec "$here/scripts/sandbox.sh" "$build/root" "$build/bench/round_trips" "$@"
