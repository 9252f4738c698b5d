#!/usr/bin/env bash
# The demo: builds the gateway, starts a private database loaded with the demo
# data, installs the programs into a sandbox root bound over /zarn (private
# mount and network namespaces) and shows the runner carrying out the daemons'
# commands, then the control service driven with zarnctl, each step with its
# exit status and the log lines it wrote.
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
  step 2 "build the firewall of router 1: the access module comes with a later release" \
    as_zarn /zarn/bin/gw-runner internet start 1
  step 2 "open client 2 (access module missing: the run ends at once)" \
    as_zarn /zarn/bin/gw-runner internet client_start 2
  step 2 "an unknown sub-verb" as_zarn /zarn/bin/gw-runner internet reload 1
  step 2 "a service name that is not a plain unit name is refused by mod_hostops" \
    as_zarn /zarn/bin/gw-runner service 'ssh;reboot' start
  step 2 "a diagnostic tool run with no operand is an unknown verb" as_zarn /zarn/bin/gw-runner arping
  step 2 "server with an unknown sub-verb does nothing" \
    as_zarn /zarn/bin/gw-runner server halt

  echo "${b}The control service: zarn-router driven by the master's tool zarnctl${n}"
  ip addr add 10.1.1.1/24 dev lo
  /zarn/bin/zarn-router >/tmp/demo-router.out 2>&1 &
  router_pid=$!
  for _ in $(seq 100); do
    grep -q 'ready for connections' /zarn/logs/zarn-router.log 2>/dev/null && break
    sleep 0.1
  done
  sed "s/^/    ${d}zarn-router.log:${n} /" /zarn/logs/zarn-router.log
  echo
  ctl() { /zarn/bin/zarnctl -a 10.1.1.1 -p 9000 -u demo "$@"; }
  export ZARNCTL_PASSWORD=abcde
  step 0 "who is this router" ctl identify
  step 1 "open client 2: the access module is missing, so the runner fails" ctl client activate 2
  step 1 "an action the command does not know" ctl client enable 2
  step 0 "restrict update: the runner has nothing to do" ctl restrict update 2
  step 0 "a diagnostic run: every word reaches the tool as it is" ctl system arping -c 1 -w 1 '10.1.1.1;reboot'
  ZARNCTL_PASSWORD=wrong step 3 "a wrong password is refused" ctl identify
  kill -INT "$router_pid"
  wait "$router_pid" || true

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
# The control service (zarn-router) on the router's address; the master
# server is reached from the same address inside the demo's network.
listenport 9000
listenaddr 10.1.1.1
master_server 10.1.1.1
crypt_key routerkey
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
