#!/bin/sh
# After the files of an installation are in place: the account zarn, and the
# owners and modes the programs rely on. The runner is set-user-id root and
# may be run only by root and the group zarn; the daemons that run as zarn
# write the logs; the gate session files are zarn's.
#   post-install.sh [ROOT]     (default /zarn)
set -e
root=${1:-/zarn}
if ! getent group zarn >/dev/null; then groupadd --system zarn; fi
if ! getent passwd zarn >/dev/null; then
  useradd --system --gid zarn --home-dir /zarn --no-create-home --shell /usr/sbin/nologin zarn
fi
mkdir -p "$root/bin" "$root/modules" "$root/conf" "$root/logs" "$root/auth_sessions"
chown root:zarn "$root/bin/gw-runner"
chmod 4750 "$root/bin/gw-runner"
chown zarn:zarn "$root/logs" "$root/auth_sessions"
chmod 0755 "$root" "$root/bin" "$root/modules" "$root/logs"
chmod 0750 "$root/conf" "$root/auth_sessions"
chown root:zarn "$root/conf"
# The configuration holds database passwords: readable by root and zarn only.
for f in "$root"/conf/*; do
  [ -f "$f" ] || continue
  chown root:zarn "$f"
  chmod 0640 "$f"
done
