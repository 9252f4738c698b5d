#!/usr/bin/env bash
# Installs a build into ROOT laid out as /zarn, for the tests and the demo:
# a fresh copy of the programs every time, then the owners and modes of a
# real installation (scripts/post-install.sh).
#   install-root.sh BUILD_DIR ROOT
set -euo pipefail
build=${1:?usage: install-root.sh BUILD_DIR ROOT}
root=${2:?usage: install-root.sh BUILD_DIR ROOT}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root"
rm -rf "$root/bin" "$root/modules"
cmake --install "$build" --prefix "$root" >/dev/null
"$here/post-install.sh" "$root"
# Tests and the demo write their own configuration as root.
chmod 0755 "$root/conf"
