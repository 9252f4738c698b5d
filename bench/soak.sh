#!/usr/bin/env bash
# The soak: the whole router of the demo (scripts/demo-topology.sh) under a
# light, steady churn for MINUTES, watched for growth.
#   bench/soak.sh [BUILD_DIR] [MINUTES]      MINUTES: 2 or more, default 30
# Churn: subscribers log in and out with zarn-login from four hosts (every
# fourth session vanishes without a logout: its link goes down, keep-alive
# must close it); the master activates and deactivates client 1 and updates
# restrictions through zarnctl; gate logins whose session files are never
# renewed are expired by session-reaper; macwatch learns the MAC of client 4
# again after it is cleared; zarn-state verify runs every minute.
# Every 30 s bench/soak-sample.py samples processes, descriptors, RSS and PSS
# per daemon, the database's connections and the kernel state counts into
# samples.csv; bench/soak-summary.py gives the verdict. Output, samples and
# the daemons' logs go to BUILD_DIR/soak/run-<time>/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/demo-topology.sh
. "$here/scripts/demo-topology.sh"

if [ "${ZARN_SOAK_INNER:-}" = 1 ]; then
  # Inside the sandbox: /zarn is the soak's root, the network is private.
  minutes=$ZARN_SOAK_MINUTES
  out=$ZARN_SOAK_OUT
  socket=$ZARN_DEMO_DB_SOCKET
  oplog=$out/operations.log
  : >"$out/errors.txt"
  note() { echo "$(date -u +%T) $*" >>"$oplog"; }
  error() { echo "$(date -u +%T) $*" >>"$out/errors.txt"; note "ERROR $*"; echo "  error: $*" >&2; }
  value() { mariadb --no-defaults --socket="$socket" -uroot zarn_demo -N -B -e "$1" || error "the statement failed: $1"; }
  declare -A ops=()
  count() { ops[$1]=$((${ops[$1]:-0} + 1)); }
  alive() { local s; s=$(sed -n 's/^State:\t\(.\).*/\1/p' "/proc/$1/status" 2>/dev/null); [ -n "$s" ] && [ "$s" != Z ]; }
  ready() { # ready LOG TEXT: waits up to 10 s for the daemon's line
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "soak: no '$2' in $1" >&2
    return 1
  }

  topology_network
  names=(alice bob carol dave) users=(alice bob carol dave) cids=(6 7 8 9)
  ips=(10.1.2.12 10.1.2.13 10.1.2.14 10.1.2.15)
  macs=(02:00:00:00:02:0c 02:00:00:00:02:0d 02:00:00:00:02:0e 02:00:00:00:02:0f)
  for i in "${!names[@]}"; do topology_host "${names[$i]}" "${ips[$i]}" "${macs[$i]}"; done
  topology_host client4 10.1.2.10 02:00:00:00:02:0a
  status=0
  as_zarn /zarn/bin/gw-runner internet start 1 || status=$?
  [ "$status" = 1 ] || { echo "soak: internet start gave $status" >&2; exit 1; }
  # Subscribers are forwarded by their logins only.
  for cid in "${cids[@]}"; do as_zarn /zarn/bin/gw-runner ZarnAuth "$cid" stop >/dev/null || true; done

  printf 'path_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\ninternal_eth lan0\n' \
    >>/zarn/conf/zarn-router.conf
  # The shortest expiry and scan interval session-reaper accepts.
  { sed 's/^mysql_user .*/mysql_user demo/; s/^mysql_passwd .*/mysql_passwd demo/' /zarn/conf/zarn-router.conf
    printf 'auth_port 7000\nauth_listen_on 10.1.2.1\nping_client_time 5\nclient_timeout 10\n'
    printf 'session_dir /zarn/auth_sessions\nexpiration_time 61\nverify_interval 11\n'; } >/zarn/conf/zarn-auth.conf

  own_net=$(readlink /proc/self/ns/net)
  ours() { # the pids of /zarn/bin/PROGRAM in this namespace
    local p
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/exe" 2>/dev/null)" = "/zarn/bin/$1" ] && [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$own_net" ] \
        && echo "${p#/proc/}"
    done
    return 0
  }
  stop_all() {
    local pid
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
    for program in zarn-router zarn-auth macwatch session-reaper; do
      for pid in $(ours "$program"); do kill -INT "$pid" 2>/dev/null || true; done
    done
    sleep 1
    for pid in $(ours zarn-auth); do kill -INT "$pid" 2>/dev/null || true; done
    sleep 1
    for program in zarn-router zarn-auth macwatch session-reaper gw-runner; do
      for pid in $(ours "$program"); do kill -9 "$pid" 2>/dev/null || true; done
    done
    cp -r /zarn/logs "$out/logs" 2>/dev/null || true
  }
  trap stop_all EXIT

  /zarn/bin/zarn-router -d >/dev/null
  ready /zarn/logs/zarn-router.log 'ready for connections'
  /zarn/bin/zarn-auth -d >/dev/null
  ready /zarn/logs/zarn-auth.log 'Accepting connections'
  /zarn/bin/session-reaper >/dev/null || true
  /zarn/bin/macwatch >/dev/null || true
  sleep 1
  for program in zarn-router zarn-auth session-reaper macwatch; do
    [ -n "$(ours "$program")" ] || { echo "soak: $program is not running" >&2; exit 1; }
  done

  # Subscriber sessions: state idle, logging, in, closing or vanished.
  declare -a state pid since due
  for i in "${!names[@]}"; do state[i]=idle pid[i]=0 since[i]=0 due[i]=$((i * 3)); done
  sessions=0
  open_login() { value "select count(*) from internet_vpn_log where cid=$1 and logout_date='0000-00-00 00:00:00'"; }
  subscriber() { # one step of subscriber i at second t
    local i=$1 t=$2 name=${names[$1]} cid=${cids[$1]} o=$out/login-${names[$1]}.out
    case ${state[i]} in
      idle)
        ((t >= due[i])) || return 0
        ZARN_LOGIN_PASSWORD=abcdefgh ip netns exec "$name" \
          /zarn/bin/zarn-login -a 10.1.2.1 -p 7000 -u "${users[i]}" -g 10.1.2.1 >"$o" 2>&1 &
        pid[i]=$! state[i]=logging since[i]=$t
        ;;
      logging)
        if grep -q '^session ' "$o"; then
          count logins
          note "login $name"
          state[i]=in since[i]=$t due[i]=$((t + 20 + RANDOM % 40))
        elif ! alive "${pid[i]}" || ((t - since[i] > 30)); then
          error "login of $name failed: $(tr '\n' ' ' <"$o")"
          { kill -9 "${pid[i]}" && wait "${pid[i]}"; } 2>/dev/null || true
          state[i]=closing since[i]=$t
        fi
        ;;
      in)
        if ! alive "${pid[i]}"; then
          error "the session of $name ended by itself: $(tr '\n' ' ' <"$o")"
          state[i]=closing since[i]=$t
        elif ((t >= due[i])); then
          sessions=$((sessions + 1))
          if ((sessions % 4 == 0)); then # the host vanishes: no logout reaches the service
            ip -n "$name" link set eth0 down
            { kill -9 "${pid[i]}" && wait "${pid[i]}"; } 2>/dev/null || true
            note "vanish $name"
            state[i]=vanished since[i]=$t
          else
            kill -INT "${pid[i]}"
            count logouts
            note "logout $name"
            state[i]=closing since[i]=$t
          fi
        fi
        ;;
      closing | vanished)
        if ! alive "${pid[i]}" && [ "$(open_login "$cid")" = 0 ]; then
          wait "${pid[i]}" 2>/dev/null || true
          if [ "${state[i]}" = vanished ]; then
            count "vanished hosts closed by keep-alive"
            note "keep-alive closed $name after $((t - since[i])) s"
            ip -n "$name" link set eth0 up
          fi
          state[i]=idle due[i]=$((t + 3 + RANDOM % 6))
        elif ((t - since[i] > 150)); then
          error "the session of $name is still open $((t - since[i])) s after it ${state[i]/closing/logged out}"
          { kill -9 "${pid[i]}" && wait "${pid[i]}"; } 2>/dev/null || true
          ip -n "$name" link set eth0 up
          state[i]=idle due[i]=$((t + 5))
        fi
        ;;
    esac
  }

  # The master's commands, in turn every 10 s.
  export ZARNCTL_PASSWORD=abcde
  ctl() { ip netns exec master /zarn/bin/zarnctl -a 10.1.1.1 -p 9000 -u demo "$@" >"$out/ctl.out" 2>&1; }
  master_step=0
  master() {
    local status=0 what
    case $((master_step++ % 4)) in
      0) what="client deactivate 1"; ctl client deactivate 1 || status=$?
         value "UPDATE internet_settings SET active = 0 WHERE cid = 1"; count deactivations ;;
      1) what="restrict update 1"; ctl restrict update 1 || status=$?; count "restrict updates" ;;
      2) what="client activate 1"; ctl client activate 1 || status=$?
         value "UPDATE internet_settings SET active = 1 WHERE cid = 1"; count activations ;;
      3) what="restrict update 6"; ctl restrict update 6 || status=$?; count "restrict updates" ;;
    esac
    note "zarnctl $what: $status"
    [ "$status" = 0 ] || error "zarnctl $what gave $status: $(tr '\n' ' ' <"$out/ctl.out")"
  }

  # Gate logins every 20 s on a free one of three gate clients; never renewed.
  gate_ips=(10.1.2.11 10.1.2.31 10.1.2.32) gate_cids=(5 10 11)
  gate_macs=(02:00:00:00:02:0b 02:00:00:00:02:1f 02:00:00:00:02:20)
  gate_logins=0
  gate() {
    local i ip status=0
    for i in "${!gate_ips[@]}"; do
      ip=${gate_ips[$i]}
      [ -e "/zarn/auth_sessions/$ip" ] && continue
      [ "$(value "select count(*) from internet_gate_log where remote_addr='$ip' and logout_date='0000-00-00 00:00:00'")" = 0 ] || continue
      gate_logins=$((gate_logins + 1))
      value "INSERT INTO internet_gate_log (cid, session, remote_addr, mac, login_date) VALUES (${gate_cids[$i]}, 'soak-$gate_logins', '$ip', '${gate_macs[$i]}', NOW())"
      echo "soak-$gate_logins;${gate_cids[$i]};${gate_macs[$i]}" >"/zarn/auth_sessions/$ip"
      as_zarn /zarn/bin/gw-runner zarn-gate "$ip" "${gate_macs[$i]}" >/dev/null 2>&1 || status=$?
      count "gate logins"
      note "gate login $ip: $status"
      [ "$status" = 1 ] || error "gw-runner zarn-gate $ip gave $status"
      return 0
    done
  }
  # A gate login must be closed within the expiry, one scan and some slack.
  check_gates() {
    local stale
    stale=$(value "select group_concat(remote_addr) from internet_gate_log where logout_date='0000-00-00 00:00:00' and login_date < now() - interval 100 second")
    [ "$stale" = NULL ] || error "gate logins still open after 100 s: $stale"
  }

  # macwatch: client 4's MAC is cleared and must be learned again.
  mac_since=-1
  mac_step() {
    local t=$1 mac
    if ((mac_since < 0)); then
      value "UPDATE internet_settings SET mac = '0' WHERE id = 5"
      mac_since=$t
      return 0
    fi
    mac=$(value "SELECT upper(mac) FROM internet_settings WHERE id = 5")
    if [ "$mac" = 02:00:00:00:02:0A ]; then
      count "MACs learned"
      note "macwatch learned $mac after $((t - mac_since)) s"
      mac_since=-1
      return 1
    elif ((t - mac_since > 60)); then
      error "macwatch did not learn client 4's MAC in 60 s (mac '$mac')"
      value "UPDATE internet_settings SET mac = '02:00:00:00:02:0a' WHERE id = 5"
      mac_since=-1
      return 1
    fi
  }

  # zarn-state verify; a difference must still be there 3 s later to count.
  verify() {
    local status=0
    count "verify runs"
    /zarn/bin/zarn-state verify >"$out/verify.out" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
      sleep 3
      status=0
      /zarn/bin/zarn-state verify >"$out/verify.out" 2>&1 || status=$?
      if [ "$status" = 0 ]; then
        count "verify differences gone 3 s later"
      else
        error "zarn-state verify ($status): $(tr '\n' ' ' <"$out/verify.out")"
        /zarn/bin/zarn-state repair >>"$oplog" 2>&1 || true
      fi
    fi
    note "verify: $status"
  }

  python3 "$here/bench/soak-sample.py" --header >"$out/samples.csv"
  start=$(date +%s)
  (
    while :; do
      python3 "$here/bench/soak-sample.py" "$(($(date +%s) - start))" "$socket" >>"$out/samples.csv"
      sleep $((30 - ($(date +%s) - start) % 30))
    done
  ) &
  sampler=$!
  echo "== churn for $minutes minutes from $(date -u +%T) UTC; samples every 30 s in $out/samples.csv"
  end=$((start + minutes * 60))
  mac_busy=0 verify_due=0
  last=-1
  while :; do
    now=$(date +%s)
    ((now < end)) || break
    t=$((now - start))
    if ((t != last)); then
      last=$t
      for i in "${!names[@]}"; do subscriber "$i" "$t"; done
      ((t % 10 == 3)) && master
      ((t % 20 == 5)) && { gate; check_gates; }
      if ((t % 60 == 30)) || ((mac_busy)); then
        if mac_step "$t"; then mac_busy=1; else mac_busy=0; fi
      fi
      ((t % 60 == 55)) && verify_due=1
      ((verify_due && !mac_busy)) && { verify; verify_due=0; }
      ((t % 60 == 0)) && echo "   $((t / 60)) min: $(for k in "${!ops[@]}"; do printf '%s %s, ' "$k" "${ops[$k]}"; done)"
    fi
    sleep 0.2
  done
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  python3 "$here/bench/soak-sample.py" "$(($(date +%s) - start))" "$socket" >>"$out/samples.csv"

  echo "== churn over; the subscribers log out, the daemons are checked and stopped"
  for i in "${!names[@]}"; do
    alive "${pid[i]}" && kill -INT "${pid[i]}" 2>/dev/null
    ip -n "${names[$i]}" link set eth0 up
  done
  for _ in $(seq 60); do
    [ "$(value "select count(*) from internet_vpn_log where logout_date='0000-00-00 00:00:00'")" = 0 ] && break
    sleep 1
  done
  for daemon in zarn-router:1 zarn-auth:1 session-reaper:1 macwatch:3; do
    n=$(ours "${daemon%%:*}" | wc -l)
    ((n >= ${daemon##*:})) || error "${daemon%%:*}: $n processes left at the end, expected ${daemon##*:}"
  done
  crashes=$(grep -h 'Segmentation fault\|terminated abnormaly' /zarn/logs/*.log || true)
  [ -z "$crashes" ] || error "crash lines in the logs: $crashes"
  for k in "${!ops[@]}"; do echo "$k ${ops[$k]}"; done | sort >"$out/operations.txt"
  echo "gate expiries $(value "select count(*) from internet_gate_log where logout_date <> '0000-00-00 00:00:00'")" \
    >>"$out/operations.txt"
  echo "subscriber sessions closed $(value "select count(*) from internet_vpn_log where logout_date <> '0000-00-00 00:00:00'")" \
    >>"$out/operations.txt"
  for log in /zarn/logs/*.log; do
    n=$(grep -c 'Could not\|Cannot\|Wrapper returned\|failure' "$log" || true)
    [ "$n" = 0 ] || echo "$(basename "$log"): $n lines of failure" >>"$out/log-failures.txt"
  done
  exit 0
fi

build=${1:-$here/build}
minutes=${2:-30}
[[ "$minutes" =~ ^[0-9]+$ ]] && ((minutes >= 2)) || { echo "usage: soak.sh [BUILD_DIR] [MINUTES >= 2]" >&2; exit 64; }
"$here/scripts/install-deps.sh"
"$here/scripts/ensure-zarn-user.sh"
mkdir -p /zarn
echo "== building $build"
"$here/scripts/build.sh" "$build" >/dev/null
build=$(cd "$build" && pwd)
soak=$build/soak
out=$soak/run-$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$out"
topology_prepare "$here" "$build" "$soak" "$here/bench/soak-data.sql" >"$out/prepare.log"
trap '"$here/scripts/test-db.sh" stop "$soak/db"' EXIT
echo "== soak of $minutes minutes; output in $out"
ZARN_SOAK_INNER=1 ZARN_SOAK_MINUTES=$minutes ZARN_SOAK_OUT=$out ZARN_DEMO_DB_SOCKET="$soak/db/mysql.sock" \
  "$here/scripts/sandbox.sh" "$soak/root" "$here/bench/soak.sh"
echo
echo "== summary ($minutes minutes, $(date -u +%F) UTC)"
[ ! -f "$out/log-failures.txt" ] || { echo "Failure lines in the daemons' logs (see $out/logs):"; sed 's/^/  /' "$out/log-failures.txt"; }
python3 "$here/bench/soak-summary.py" "$out/samples.csv" "$out/operations.txt" "$out/errors.txt" "$minutes"
