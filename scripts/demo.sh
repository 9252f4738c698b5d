#!/usr/bin/env bash
# The demo: builds the gateway, starts a private database loaded with the demo
# data, installs the programs into a sandbox root bound over /zarn (private
# mount and network namespaces) and shows the runner carrying out the daemons'
# commands, each with its exit status and the log lines it wrote.
#   demo.sh [--keep]    --keep leaves the database running afterwards
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
keep=0
[ "${1:-}" = "--keep" ] && keep=1

if [ "${ZARN_DEMO_INNER:-}" = 1 ]; then
  # Inside the sandbox: /zarn is the demo root, the network is private.
  if [ -t 1 ]; then b=$'\e[1m' g=$'\e[32m' r=$'\e[31m' d=$'\e[2m' n=$'\e[0m'; else b= g= r= d= n=; fi
  log=/zarn/logs/gw-runner.log
  step() {
    local expect=$1 what=$2
    shift 2
    local before=0 status=0
    [ -f "$log" ] && before=$(wc -l <"$log")
    echo "${b}\$ $*${n}   ${d}# $what${n}"
    "$@" >/tmp/demo-out 2>&1 || status=$?
    sed 's/^/    /' /tmp/demo-out | head -5
    if [ -f "$log" ]; then tail -n +"$((before + 1))" "$log" | sed "s/^/    ${d}log:${n} /"; fi
    if [ "$status" = "$expect" ]; then
      echo "    exit status $status ${g}(as expected)${n}"
      passed=$((passed + 1))
    else
      echo "    exit status $status ${r}(expected $expect)${n}"
      failed=$((failed + 1))
    fi
    echo
  }
  as_zarn() { setpriv --reuid=zarn --regid=zarn --clear-groups "$@"; }
  passed=0 failed=0
  echo "${b}Installed layout${n}"
  ls -l /zarn/bin /zarn/modules | sed 's/^/    /'
  echo
  step 3 "only the account zarn may call the runner: root is refused" /zarn/bin/gw-runner internet client_start 2
  step 1 "restrict: nothing to do, no log line" as_zarn /zarn/bin/gw-runner restrict 1
  # The demo router's shaped devices (db/demo.sql), as veth pairs of the sandbox.
  for dev in lan0 lan1; do
    ip link add name "$dev" type veth peer name "${dev}p" && ip link set "$dev" up && ip link set "${dev}p" up
  done
  step 2 "build the firewall of router 1: the access module comes with a later release, the shaper builds its trees" \
    as_zarn /zarn/bin/gw-runner internet start 1
  for dev in lan0 lan1; do
    echo "${b}\$ tc class show dev $dev${n}   ${d}# the HTB tree of mod_shaper: one class per client under 1:10 (metro) and 1:20 (extern)${n}"
    tc class show dev "$dev" | sort -V | sed 's/^/    /'
    tc filter show dev "$dev" parent 1:10 | grep -c flowid | sed 's/^/    u32 filters of the device (its classes share the u32 tables): /'
    echo
  done
  # lan0: 1:1, 1:15, 1:10, 1:20 and the classes of clients 1, 2 and 6 under each kind.
  if [ "$(tc class show dev lan0 | grep -c 'parent 1:[12]0')" = 6 ] && [ "$(tc class show dev lan1 | grep -c 'parent 1:10')" = 3 ]; then
    echo "    shaping trees ${g}as expected${n}"; passed=$((passed + 1))
  else
    echo "    shaping trees ${r}not as expected${n}"; failed=$((failed + 1))
  fi
  echo
  step 2 "tear down: the shaper removes the root qdisc of every device of router 1" \
    as_zarn /zarn/bin/gw-runner internet stop 1
  tc qdisc show dev lan0 | sed 's/^/    /'
  echo
  step 2 "open client 2 (access module missing: the run ends at once)" \
    as_zarn /zarn/bin/gw-runner internet client_start 2
  step 2 "an unknown sub-verb" as_zarn /zarn/bin/gw-runner internet reload 1
  step 2 "a service name that is not a plain unit name is refused by mod_hostops" \
    as_zarn /zarn/bin/gw-runner service 'ssh;reboot' start
  step 2 "a diagnostic tool run with no operand is an unknown verb" as_zarn /zarn/bin/gw-runner arping
  step 2 "server with an unknown sub-verb does nothing" \
    as_zarn /zarn/bin/gw-runner server halt
  echo "${b}Summary:${n} $passed steps as expected, $failed not"
  [ "$failed" = 0 ]
  exit
fi

"$here/scripts/install-deps.sh"
"$here/scripts/ensure-zarn-user.sh"
mkdir -p /zarn
echo "== building"
"$here/scripts/build.sh" "$here/build" >/dev/null

demo="$here/build/demo"
echo "== starting the private database in $demo/db"
"$here/scripts/test-db.sh" start "$demo/db"
"$here/scripts/test-db.sh" create "$demo/db" zarn_demo
mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot zarn_demo <"$here/db/demo.sql"
mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot zarn_demo -t \
  -e "SELECT id, rname, ip FROM internet_routers; SELECT s.cid, s.ip, s.mac, s.active FROM internet_settings s ORDER BY s.id;"

echo "== installing into $demo/root"
rm -rf "$demo/root"
"$here/scripts/install-root.sh" "$here/build" "$demo/root"
cat >"$demo/root/conf/zarn-router.conf" <<CONF
# Demo router settings (see db/demo.sql)
mysql_host localhost
mysql_user zarn_test
mysql_passwd zarn_test
mysql_dbname zarn_demo
mysql_sock $demo/db/mysql.sock
CONF

status=0
ZARN_DEMO_INNER=1 "$here/scripts/sandbox.sh" "$demo/root" "$here/scripts/demo.sh" || status=$?
if [ "$keep" = 1 ]; then
  echo "The database keeps running: mariadb --socket=$demo/db/mysql.sock -uroot zarn_demo"
  echo "Stop it with: scripts/test-db.sh stop $demo/db"
else
  "$here/scripts/test-db.sh" stop "$demo/db"
fi
exit $status
