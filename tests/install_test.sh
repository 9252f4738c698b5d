#!/usr/bin/env bash
# An installation into an empty root: owners, modes, files; a second
# installation keeps the configuration an operator edited.
#   install_test.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
here=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$root"' EXIT
passed=0 failed=0
check() {
  local what=$1 expected=$2 seen=$3
  if [ "$expected" = "$seen" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAILED: $what: expected '$expected', saw '$seen'"; fi
}
mode() { stat -c '%a %U:%G' "$1" 2>/dev/null || echo missing; }

cmake --install "$build" --prefix "$root" >/dev/null && "$here/scripts/post-install.sh" "$root"
check "runner" "4750 root:zarn" "$(mode "$root/bin/gw-runner")"
for program in zarn-router zarn-auth session-reaper zarnctl zarn-login zarn-passwd; do
  check "$program" "755 root:root" "$(mode "$root/bin/$program")"
done
for module in mod_access mod_shaper mod_hostops; do
  check "$module" "644 root:root" "$(mode "$root/modules/$module.so")"
done
check "logs" "755 zarn:zarn" "$(mode "$root/logs")"
check "sessions" "750 zarn:zarn" "$(mode "$root/auth_sessions")"
check "conf" "750 root:zarn" "$(mode "$root/conf")"
for conf in zarn-router.conf zarn-notifier.conf zarn-auth.conf router-ports router-iptables; do
  check "conf/$conf" "640 root:zarn" "$(mode "$root/conf/$conf")"
  check "example $conf" "$(cat "$here/packaging/conf/$conf")" "$(cat "$root/share/examples/$conf")"
done
# Only the account zarn (and root) may run the runner: the runner refuses
# everyone else itself, the mode keeps others from starting it at all.
check "others cannot run the runner" "denied" \
  "$(setpriv --reuid=nobody --regid=nogroup --clear-groups "$root/bin/gw-runner" restrict 2>/dev/null && echo ran || echo denied)"

echo "listenaddr 192.0.2.1  # edited" >"$root/conf/zarn-router.conf"
cmake --install "$build" --prefix "$root" >/dev/null && "$here/scripts/post-install.sh" "$root"
check "an edited file survives a second install" "listenaddr 192.0.2.1  # edited" "$(cat "$root/conf/zarn-router.conf")"
check "runner after a second install" "4750 root:zarn" "$(mode "$root/bin/gw-runner")"

echo "install: $passed passed, $failed failed"
[ "$failed" = 0 ]
