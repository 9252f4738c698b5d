#!/usr/bin/env bash
# Benchmark of the ARP monitor on a subscriber LAN in the sandbox: a bridge
# lan0 and one host namespace holding the answering addresses, 250 to a /24
# (10.1.2.2 to .251, then 10.1.3.2 ...), the silent ones after them.
#  - pinger: one pass over ANSWERING + SILENT settings with every hostup to be
#    written, then one pass where nothing changed, each against the floor: one
#    round of the same probes sent all at once, without the database;
#  - finder (PARTS "all"): learning ANSWERING missing MAC addresses by probe
#    (against the same round all at once) and from the kernel's table (against
#    the table reads alone); then from the table with the runner opening every
#    setting (active 1, firewall built).
# SEQUENTIAL_SAMPLE=N also times N answering and N silent probes one after
# another, as a pass made them before.
#   bench/macwatch-bench.sh [BUILD_DIR] [ANSWERING] [SILENT] [all|pinger] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
answering=${2:-200}
silent=${3:-50}
parts=${4:-all}
runs=${5:-3}
total=$((answering + silent))
[ "$total" -le 10000 ] || { echo "at most 10,000 addresses (40 networks of 250)" >&2; exit 2; }

# The address of setting I (1 to 10,000).
address() { echo "10.1.$((2 + ($1 - 1) / 250)).$((($1 - 1) % 250 + 2))"; }

if [ "${ZARN_BENCH_INNER:-}" != 1 ]; then
  "$here/scripts/ensure-zarn-user.sh"
  dbdir="$build/bench-db"
  "$here/scripts/test-db.sh" start "$dbdir"
  "$here/scripts/test-db.sh" create "$dbdir" zarn_mwbench
  {
    echo "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.2.1');"
    for n in $(seq 0 $(((total - 1) / 250))); do
      echo "INSERT INTO internal_net (rid, net, host_min, host_max, gw, device) VALUES (1, '10.1.$((2 + n)).0/24', INET_ATON('10.1.$((2 + n)).1'), INET_ATON('10.1.$((2 + n)).254'), '10.1.$((2 + n)).1', 'lan0');"
    done
    for i in $(seq 1 "$total"); do
      echo "INSERT INTO internet_clients (id, remote) VALUES ($i, 1);"
      echo "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES ($i, $i, 1, '$(address "$i")', '0', 0);"
    done
  } | mariadb --no-defaults --socket="$dbdir/mysql.sock" -uroot zarn_mwbench
  root="$build/bench-root"
  rm -rf "$root"
  "$here/scripts/install-root.sh" "$build" "$root"
  printf 'mysql_host localhost\nmysql_user zarn_test\nmysql_passwd zarn_test\nmysql_dbname zarn_mwbench\nmysql_sock %s\nlistenaddr 10.1.2.1\npath_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\ninternal_eth lan0\n' \
    "$dbdir/mysql.sock" >"$root/conf/zarn-router.conf"
  status=0
  ZARN_BENCH_INNER=1 ZARN_BENCH_SOCKET="$dbdir/mysql.sock" "$here/scripts/sandbox.sh" "$root" "$0" "$build" "$answering" "$silent" "$parts" "$runs" || status=$?
  "$here/scripts/test-db.sh" stop "$dbdir"
  exit $status
fi

# Inside the sandbox.
tool="$build/bench/macwatch_bench"
sql() { mariadb --no-defaults --socket="$ZARN_BENCH_SOCKET" -uroot zarn_mwbench -e "$1"; }
ms_of() { sed -n 's/^\([0-9.]*\) ms.*/\1/p'; }
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.3f}')" "$1" "$2"; }
median() { python3 -c "import sys, statistics; print(f'{statistics.median(float(a) for a in sys.argv[1:]):.1f}')" "$@"; }

mkdir -p /run/netns
mount -t tmpfs tmpfs /run/netns
sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip link add name lan0 address 02:00:00:00:00:01 type bridge
ip addr add 10.1.2.1/16 dev lan0
ip link set lan0 up
ip netns add subs
ip link add name p-subs type veth peer name eth0 netns subs
ip -n subs link set eth0 address 02:ab:cd:00:00:02
for i in $(seq 1 "$answering"); do echo "addr add $(address "$i")/16 dev eth0"; done | ip -n subs -batch -
ip -n subs link set eth0 up
ip link set p-subs master lan0 up
answer_list=$(for i in $(seq 1 "$answering"); do printf '%s ' "$(address "$i")"; done)
# In the pass's order (by address text), so that the rounds compare with it.
all_list=$(sql "SELECT ip FROM internet_settings ORDER BY ip" | tail -n +2 | tr '\n' ' ')
trap 'ip netns del subs; ip link del lan0' EXIT
for _ in $(seq 1 60); do
  ip -d link show dev p-subs | grep -q 'bridge_slave state forwarding' && break
  sleep 0.05
done

echo "subscriber LAN: $answering answering and $silent silent addresses on lan0"

# Pinger: RUNS times a pass writing every row, the floor, a pass writing
# none, and the same round at the workers' pace (what the pacing costs).
pace=$("$tool" pace)
sql "UPDATE internet_settings SET mac = '02:00:00:00:00:ff'"
changed=() floors=() steady=() paced=()
for run in $(seq 1 "$runs"); do
  sql "UPDATE internet_settings SET hostup = 2"
  pass=$("$tool" pass 1)
  # shellcheck disable=SC2086
  floor=$("$tool" burst 0 lan0 $all_list)
  again=$("$tool" pass 1)
  # shellcheck disable=SC2086
  at_pace=$("$tool" burst "$pace" lan0 $all_list)
  echo "run $run: pass, every row changed: $pass"
  echo "run $run: floor, one round all at once: $floor"
  echo "run $run: pass, nothing changed: $again"
  echo "run $run: one round at $pace a second: $at_pace"
  changed+=("$(echo "$pass" | ms_of)") floors+=("$(echo "$floor" | ms_of)")
  steady+=("$(echo "$again" | ms_of)") paced+=("$(echo "$at_pace" | ms_of)")
done
echo "median pass, every row changed: $(median "${changed[@]}") ms"
echo "median pass, nothing changed:   $(median "${steady[@]}") ms"
echo "median floor, all at once:      $(median "${floors[@]}") ms"
echo "median round at $pace a second: $(median "${paced[@]}") ms"
echo "pass / floor (changed, unchanged): $(ratio "$(median "${changed[@]}")" "$(median "${floors[@]}")")," \
  "$(ratio "$(median "${steady[@]}")" "$(median "${floors[@]}")")"
echo "pass / round at the pace (changed, unchanged): $(ratio "$(median "${changed[@]}")" "$(median "${paced[@]}")")," \
  "$(ratio "$(median "${steady[@]}")" "$(median "${paced[@]}")")"
if [ "${SEQUENTIAL_SAMPLE:-0}" -gt 0 ]; then
  # The probes one after another, as a pass made them before: a sample of
  # answering and silent addresses, for the per-host costs.
  n=$SEQUENTIAL_SAMPLE
  # shellcheck disable=SC2046
  echo "one after another, $n answering: $("$tool" round probe lan0 $(for i in $(seq 1 "$n"); do address "$i"; done))"
  # shellcheck disable=SC2046
  echo "one after another, $n silent: $("$tool" round probe lan0 $(for i in $(seq $((answering + 1)) $((answering + n))); do address "$i"; done))"
fi
[ "$parts" = all ] || exit 0

# Finder by probe: the answering addresses missing, none in the kernel's table.
sql "UPDATE internet_settings SET mac = IF(id <= $answering, '0', '02:00:00:00:00:ff'), active = 0"
probe=$("$tool" finder 1)
# shellcheck disable=SC2086
probe_floor=$("$tool" burst 0 lan0 $answer_list)
echo "finder, by probe:       $probe"
echo "floor, one round:       $probe_floor"
echo "finder / floor:         $(ratio "$(echo "$probe" | ms_of)" "$(echo "$probe_floor" | ms_of)")"

# Finder from the table: the kernel learns every answering host first.
for a in $answer_list; do echo x >"/dev/udp/$a/9" 2>/dev/null || true; done
for _ in $(seq 1 100); do
  [ "$(grep -c ' 0x2 .* lan0$' /proc/net/arp)" -ge "$answering" ] && break
  sleep 0.05
done
echo "kernel table: $(grep -c ' 0x2 .* lan0$' /proc/net/arp) complete entries on lan0"
sql "UPDATE internet_settings SET mac = IF(id <= $answering, '0', '02:00:00:00:00:ff')"
table=$("$tool" finder 1)
# shellcheck disable=SC2086
table_floor=$("$tool" round table lan0 $answer_list)
echo "finder, from the table: $table"
echo "floor, table reads:     $table_floor"
echo "finder / floor:         $(ratio "$(echo "$table" | ms_of)" "$(echo "$table_floor" | ms_of)")"

# The same with the runner opening every learned setting.
setpriv --reuid=zarn --regid=zarn --clear-groups /zarn/bin/gw-runner internet start 1 >/dev/null || true
sql "UPDATE internet_settings SET mac = IF(id <= $answering, '0', '02:00:00:00:00:ff'), active = 1"
opened=$("$tool" finder 1)
entries=$(ipset list src_10_1_2_0_24 | grep -c '^10\.' || true)
echo "finder, table + runner: $opened ($entries set entries)"
per=$(python3 -c "import sys; print(f'{(float(sys.argv[1]) - float(sys.argv[2])) / float(sys.argv[3]):.1f}')" \
  "$(echo "$opened" | ms_of)" "$(echo "$table" | ms_of)" "$answering")
echo "runner per learned setting: $per ms"
