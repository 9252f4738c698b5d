#!/usr/bin/env bash
# Installs a build into ROOT laid out as /zarn: the runner set-user-id root and
# runnable only by root and the group zarn, the log and session directories
# writable by zarn.
#   install-root.sh BUILD_DIR ROOT
set -euo pipefail
build=${1:?usage: install-root.sh BUILD_DIR ROOT}
root=${2:?usage: install-root.sh BUILD_DIR ROOT}
here=$(cd "$(dirname "$0")" && pwd)
"$here/ensure-zarn-user.sh"
mkdir -p "$root"
# A fresh copy of the programs every time (a test root, never a live one).
rm -rf "$root/bin" "$root/modules"
cmake --install "$build" --prefix "$root" >/dev/null
mkdir -p "$root"/{bin,modules,conf,logs,auth_sessions}
chown root:zarn "$root/bin/gw-runner"
chmod 4750 "$root/bin/gw-runner"
chown zarn:zarn "$root/logs" "$root/auth_sessions"
chmod 0755 "$root" "$root/bin" "$root/modules" "$root/conf" "$root/logs"
chmod 0750 "$root/auth_sessions"
