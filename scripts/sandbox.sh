#!/usr/bin/env bash
# Runs a command with an installed root bound over /zarn, in private mount and
# network namespaces: nothing it does to netfilter, tc, links or /proc/sys/net
# reaches the machine's own namespace. Each run works on a fresh copy of the root.
#   sandbox.sh ROOT COMMAND [ARG...]
# With ZARN_SANDBOX_KEEP=1 the copy of the root is left in place, for
# processes that go on running in the namespaces after COMMAND has ended.
set -euo pipefail
root=${1:?usage: sandbox.sh ROOT COMMAND [ARG...]}
shift
[ -d "$root/bin" ] || { echo "sandbox: $root is not an installed root" >&2; exit 2; }
root=$(cd "$root" && pwd)

if [ "${ZARN_SANDBOX_INNER:-}" != 1 ]; then
  mkdir -p /zarn
  copy=$(mktemp -d "$root.run.XXXXXX")
  [ "${ZARN_SANDBOX_KEEP:-}" = 1 ] || trap 'rm -rf "$copy"' EXIT
  cp -a "$root/." "$copy/"
  chmod 0755 "$copy"
  status=0
  ZARN_SANDBOX_INNER=1 unshare --mount --net --propagation private -- "$0" "$copy" "$@" || status=$?
  exit $status
fi

# Inside the new namespaces.
# Kernel threads (kthreadd is pid 2) always live in the machine's own namespace.
own=$(readlink /proc/self/ns/net)
machine=$(readlink /proc/2/ns/net || readlink /proc/1/ns/net || true)
if [ -z "$own" ] || [ -z "$machine" ] || [ "$own" = "$machine" ]; then
  echo "sandbox: refusing to run in the machine's own network namespace" >&2
  exit 2
fi
mount --bind "$root" /zarn
ip link set lo up
export ZARN_SANDBOXED=1
unset ZARN_SANDBOX_INNER
exec "$@"
