#!/usr/bin/env bash
# The demo: builds the gateway, starts a private database loaded with the demo
# data, installs the programs into a sandbox root bound over /zarn (private
# mount and network namespaces) and shows the runner building the router's
# firewall and shaping trees and opening and closing clients, the session
# expiry, then the control service driven with zarnctl: each step with its exit
# status, the log lines it wrote and the kernel state that proves it.
#   demo.sh [--keep]    --keep leaves the router running afterwards, with the
#                       commands to look around
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
keep=0
[ "${1:-}" = "--keep" ] && keep=1
# shellcheck source=scripts/demo-topology.sh
. "$here/scripts/demo-topology.sh"

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
    sed 's/^/    /' /tmp/demo-out | head -12
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
  passed=0 failed=0
  echo "${b}Installed layout${n}"
  ls -l /zarn/bin /zarn/modules | sed 's/^/    /'
  echo
  show() {
    echo "    ${d}# $1${n}"
    shift
    "$@" 2>&1 | sed 's/^/    /'
    echo
  }
  step 3 "only the account zarn may call the runner: root is refused" /zarn/bin/gw-runner internet client_start 2
  # The demo's network: this namespace is the router. lan0 leads to the
  # master server's namespace (10.1.1.0/24), lan1 is the bridge of the
  # subscriber LAN 10.1.2.0/24, where subscriber hosts (namespaces) come up.
  topology_network
  topology_host alice 10.1.2.12 02:00:00:00:02:0c
  step 1 "build the firewall and the shaping trees of the demo router (id 1) from the database" \
    as_zarn /zarn/bin/gw-runner internet start 1
  show "the filter table: DROP policies, per network a set of address,MAC pairs" \
    iptables-legacy-save -t filter
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
  show "the paid clients of 10.1.1.0/24 (client 3 has not paid, client 2 has a notice)" members src_10_1_1_0_24
  show "web traffic of clients 2 (notice) and 3 (unpaid) gets mark 80" \
    sh -c 'iptables-legacy-save -t mangle | grep MARK'
  step 1 "close client 1: its entry leaves the set, its web traffic is marked" \
    as_zarn /zarn/bin/gw-runner internet client_stop 1
  show "10.1.1.0/24 now" members src_10_1_1_0_24
  step 2 "closing it again fails: nothing left to close" as_zarn /zarn/bin/gw-runner internet client_stop 1
  step 1 "open client 1 again" as_zarn /zarn/bin/gw-runner internet client_start 1
  show "10.1.1.0/24 now" members src_10_1_1_0_24
  step 2 "an id that tries to widen the query opens nothing" \
    as_zarn /zarn/bin/gw-runner internet client_start "1' or '1'='1"
  step 1 "the gate opens the gate client 5 after its login" \
    as_zarn /zarn/bin/gw-runner zarn-gate 10.1.2.11 02:00:00:00:02:0b
  show "10.1.2.0/24 now" members src_10_1_2_0_24
  sql "INSERT INTO internet_gate_log (cid, session, remote_addr, mac, login_date) VALUES (5, 'demo-session', '10.1.2.11', '02:00:00:00:02:0b', NOW())"
  echo 'demo-session;5;02:00:00:00:02:0b' >/zarn/auth_sessions/10.1.2.11
  { cat /zarn/conf/zarn-router.conf; printf 'session_dir /zarn/auth_sessions\nexpiration_time 61\nverify_interval 11\n'; } \
    >/zarn/conf/zarn-auth.conf
  reap() {
    # The daemon's clock runs two minutes ahead, so the fresh session file counts as stale.
    LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME=+120s NO_FAKE_STAT=1 \
      /zarn/bin/session-reaper -d &
    local pid=$!
    for _ in $(seq 1 100); do grep -q 'disconnect result main thread' /zarn/logs/session-reaper.log 2>/dev/null && break; sleep 0.1; done
    kill -INT "$pid"
    wait "$pid"
  }
  step 0 "session-reaper expires the gate login whose session file went stale" reap
  show "its log" cat /zarn/logs/session-reaper.log
  show "10.1.2.0/24 now: the gate client is gone" members src_10_1_2_0_24
  show "the gate login is closed" sql "SELECT cid, session, remote_addr, logout_date FROM internet_gate_log"
  # The ARP monitor: client 4 (setting 5, 10.1.2.10 on lan1) is paid but its
  # MAC address is not known yet. Its host comes up on a bridged LAN.
  topology_host client4 10.1.2.10 02:00:00:00:02:0a
  printf 'listenaddr 10.1.1.1\npath_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\ninternal_eth lan0\n' \
    >>/zarn/conf/zarn-router.conf
  setting5() { sql "SELECT id, ip, mac, active, hostup FROM internet_settings WHERE id = 5"; }
  until_sql() { # until_sql QUERY VALUE: waits up to 20 s for the query to give the value
    for _ in $(seq 1 200); do [ "$(sql "$1" | tail -1)" = "$2" ] && return 0; sleep 0.1; done
    return 1
  }
  show "client 4's setting: MAC not known (0), host not seen" setting5
  show "10.1.2.0/24 before: client 4 is not open" members src_10_1_2_0_24
  log=/zarn/logs/macwatch.log
  step 1 "macwatch starts its finder, reader and pinger (the launcher exits with 1)" /zarn/bin/macwatch
  workers=$(sed -n 's/.*STARTED PID: \([0-9]*\).*/\1/p' /tmp/demo-out | tr '\n' ' ')
  until_sql "SELECT mac FROM internet_settings WHERE id = 5" 02:00:00:00:02:0A || true
  until_sql "SELECT hostup FROM internet_settings WHERE id = 5" 1 || true
  show "the finder learned the MAC by an ARP probe, the pinger saw the host" setting5
  show "10.1.2.0/24 now: the runner opened client 4 with its learned MAC" members src_10_1_2_0_24
  show "the monitor's log" cat /zarn/logs/macwatch.log
  ip -n client4 link set eth0 down
  until_sql "SELECT hostup FROM internet_settings WHERE id = 5" 0 || true
  show "client 4's link went down: hostup 0 on the pinger's next pass" setting5
  ip -n client4 link set eth0 up
  until_sql "SELECT hostup FROM internet_settings WHERE id = 5" 1 || true
  show "and back up: hostup 1" setting5
  stop_workers() {
    local pid
    for pid in $workers; do kill -INT "$pid"; done
    for pid in $workers; do
      for _ in $(seq 1 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
      [ ! -d "/proc/$pid" ] || return 1
    done
  }
  step 0 "one interrupt ends each worker ($workers)" stop_workers
  log=/zarn/logs/gw-runner.log
  ip netns del client4
  step 2 "a service name that is not a plain unit name is refused by mod_hostops" \
    as_zarn /zarn/bin/gw-runner service 'ssh;reboot' start
  step 1 "stop: every table empty and open again, the shaping trees removed" as_zarn /zarn/bin/gw-runner internet stop 1
  show "the filter table after the stop" iptables-legacy-save -t filter
  show "the root qdisc of lan0 after the stop" tc qdisc show dev lan0
  step 2 "a diagnostic tool run with no operand is an unknown verb" as_zarn /zarn/bin/gw-runner arping
  step 2 "server with an unknown sub-verb does nothing" \
    as_zarn /zarn/bin/gw-runner server halt

  echo "${b}The control service: zarn-router driven by the master's tool zarnctl${n}"
  /zarn/bin/zarn-router >/tmp/demo-router.out 2>&1 &
  router_pid=$!
  for _ in $(seq 100); do
    grep -q 'ready for connections' /zarn/logs/zarn-router.log 2>/dev/null && break
    sleep 0.1
  done
  sed "s/^/    ${d}zarn-router.log:${n} /" /zarn/logs/zarn-router.log
  echo
  # The master server's tool runs in the master's own namespace, across lan0.
  ctl() { ip netns exec master /zarn/bin/zarnctl -a 10.1.1.1 -p 9000 -u demo "$@"; }
  export ZARNCTL_PASSWORD=abcde
  step 0 "who is this router" ctl identify
  step 0 "open client 2 over the control protocol" ctl client activate 2
  show "10.1.1.0/24 now" members src_10_1_1_0_24
  step 0 "close it again" ctl client deactivate 2
  show "10.1.1.0/24 now" members src_10_1_1_0_24
  step 1 "an action the command does not know" ctl client enable 2
  step 0 "restrict update: the runner has nothing to do" ctl restrict update 2
  step 0 "a diagnostic run: every word reaches the tool as it is" ctl system arping -c 1 -w 1 '10.1.1.1;reboot'
  ZARNCTL_PASSWORD=wrong step 3 "a wrong password is refused" ctl identify
  kill -INT "$router_pid"
  wait "$router_pid" || true

  echo "${b}The login service: zarn-auth and a subscriber's client program, zarn-login${n}"
  # alice (client 6) logs in from her registered address 10.1.2.12 through the
  # gateway 10.1.2.1; both are addresses of this sandbox.
  { sed 's/^mysql_user .*/mysql_user demo/; s/^mysql_passwd .*/mysql_passwd demo/' /zarn/conf/zarn-router.conf
    printf 'auth_port 7000\nauth_listen_on 10.1.2.1\ncrypt_key routerkey\nping_client_time 5\nclient_timeout 10\n'
    printf 'session_dir /zarn/auth_sessions\nexpiration_time 61\nverify_interval 11\n'; } >/zarn/conf/zarn-auth.conf
  as_zarn /zarn/bin/gw-runner ZarnAuth 6 stop || true
  show "alice is not forwarded before her login" members src_10_1_2_0_24
  /zarn/bin/zarn-auth >/tmp/demo-auth.out 2>&1 &
  auth_pid=$!
  for _ in $(seq 100); do grep -q 'Accepting connections' /zarn/logs/zarn-auth.log 2>/dev/null && break; sleep 0.1; done
  login() {
    ZARN_LOGIN_PASSWORD=abcdefgh ip netns exec alice /zarn/bin/zarn-login -a 10.1.2.1 -p 7000 -u alice -g 10.1.2.1 -n 1 &
    local pid=$!
    for _ in $(seq 100); do members src_10_1_2_0_24 | grep -q '^10.1.2.12,' && break; sleep 0.1; done
    echo "(while logged in) 10.1.2.0/24:"
    members src_10_1_2_0_24
    wait "$pid"
  }
  step 0 "alice logs in, gets her session, message and notice link, answers one probe and leaves" login
  for _ in $(seq 200); do grep -q 'Connection to client ended' /zarn/logs/zarn-auth.log && break; sleep 0.1; done
  show "zarn-auth's log" cat /zarn/logs/zarn-auth.log
  show "she left: her forwarding is closed again" members src_10_1_2_0_24
  show "her session row" sql "SELECT cid, session, remote_addr, login_date, logout_date, rid FROM internet_vpn_log"
  kill -INT "$auth_pid"; sleep 0.2; kill -INT "$auth_pid" 2>/dev/null; wait "$auth_pid" || true

  echo "${b}The router's state against the database: zarn-state${n}"
  show "the master records the deactivation of client 2 in the database, as it does after the command" \
    sql "UPDATE internet_settings SET active = 0 WHERE cid = 2"
  step 0 "after the scenario the kernel holds what the database says (alice, logged out, is listed apart)" \
    /zarn/bin/zarn-state verify
  show "status: one row per setting, then the totals per network" /zarn/bin/zarn-state status
  drifted=$(members src_10_1_1_0_24 | head -1)
  show "a drift made on purpose: the entry $drifted is deleted by hand" ipset del src_10_1_1_0_24 "${drifted%%,*}"
  step 1 "verify finds it, with its reason" /zarn/bin/zarn-state verify
  step 0 "repair puts back exactly that entry through the access module" /zarn/bin/zarn-state repair
  show "its log" cat /zarn/logs/zarn-state.log
  step 0 "nothing differs any more" /zarn/bin/zarn-state verify

  if [ "${ZARN_DEMO_KEEP:-}" = 1 ]; then
    /zarn/bin/zarn-router -d >/dev/null
    /zarn/bin/zarn-auth -d >/dev/null
    /zarn/bin/session-reaper >/dev/null || true
    setsid sleep infinity </dev/null >/dev/null 2>&1 &
    holder=$!
    cat <<KEEP

${b}The router keeps running${n} (zarn-router, zarn-auth, session-reaper) in its namespaces.
Enter them:      nsenter --target $holder --mount --net bash
Then look around:
    iptables-legacy-save; ipset list; tc class show dev lan0
    ZARNCTL_PASSWORD=abcde ip netns exec master /zarn/bin/zarnctl -a 10.1.1.1 -p 9000 -u demo identify
    ZARN_LOGIN_PASSWORD=abcdefgh ip netns exec alice /zarn/bin/zarn-login -a 10.1.2.1 -p 7000 -u alice -g 10.1.2.1
    tail /zarn/logs/*.log
Stop it all:     kill -9 $holder \$(pgrep -f '^/zarn/bin/') ; scripts/test-db.sh stop build/demo/db
KEEP
  fi
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
topology_prepare "$here" "$here/build" "$demo"

status=0
ZARN_DEMO_INNER=1 ZARN_DEMO_KEEP=$keep ZARN_SANDBOX_KEEP=$keep ZARN_DEMO_DB_SOCKET="$demo/db/mysql.sock" "$here/scripts/sandbox.sh" "$demo/root" "$here/scripts/demo.sh" || status=$?
if [ "$keep" = 1 ]; then
  echo "The database keeps running: mariadb --no-defaults --socket=$demo/db/mysql.sock -uroot zarn_demo"
else
  "$here/scripts/test-db.sh" stop "$demo/db"
fi
exit $status
