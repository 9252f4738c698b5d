#!/usr/bin/env bash
# Builds, starts the private database server, installs the sandbox root and
# runs the shaper rebuild benchmark inside the sandbox.
#   bench/shaper-rebuild.sh [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build" >/dev/null
"$here/scripts/test-db.sh" start "$here/build/testdb"
"$here/scripts/install-root.sh" "$here/build" "$here/build/root"
exec "$here/scripts/sandbox.sh" "$here/build/root" "$here/build/bench/shaper_rebuild_bench" "$@"
