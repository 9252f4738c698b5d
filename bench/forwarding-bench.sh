#!/usr/bin/env bash
# Benchmark of forwarding through the router at a large number of paid
# clients: packets per second (iperf3, UDP, 64-byte datagrams) and round-trip
# latency (ping) from one paid subscriber host to an upstream host, with
#   set   - the module's layout (`gw-runner internet start`: one ip set per network),
#   rules - one rule per client (address and MAC), as rule-per-client portals
#           build it, the measured client's rule last,
#   floor - empty tables, ACCEPT policies;
# the three in turn, three rounds, in one run.
#   bench/forwarding-bench.sh [BUILD_DIR] [CLIENTS] [NETWORKS] [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-10000}
networks=${3:-40}
seconds=${4:-4}

# shellcheck source=bench/router-bench-lib.sh
. "$here/bench/router-bench-lib.sh"
bench_on_router "$0" "$build" "$clients" "$networks"
# Inside the sandbox from here on.

# The last client of bench/make-router.py: the last rule in the rule-per-client layout.
last=$((clients - 1))
net=$((last % networks))
host=$((last / networks + 2))
address=10.10.$net.$host
mac=$(printf '02:10:%02X:%02X:%02X:%02X' $((net >> 8)) $((net & 255)) $((host >> 8)) $((host & 255)))
upstream=198.51.100.2

mkdir -p /run/netns && mount -t tmpfs tmpfs /run/netns
for ns in sub up; do
  ip netns add $ns
  ip netns exec $ns sysctl -q -w net.ipv6.conf.all.disable_ipv6=1
done
sysctl -q -w net.ipv6.conf.all.disable_ipv6=1
ip link add name lan0 type veth peer name eth0 netns sub
ip addr add 10.10.$net.1/24 dev lan0 && ip link set lan0 up
ip -n sub link set eth0 address "$mac"
ip -n sub addr add "$address/24" dev eth0 && ip -n sub link set eth0 up && ip -n sub link set lo up
ip -n sub route add default via 10.10.$net.1
ip link add name wan0 type veth peer name eth0 netns up
ip addr add 198.51.100.1/24 dev wan0 && ip link set wan0 up
ip -n up addr add $upstream/24 dev eth0 && ip -n up link set eth0 up && ip -n up link set lo up
ip -n up route add default via 198.51.100.1
ip netns exec up iperf3 -s -D -I /tmp/forwarding-iperf3.pid
trap 'kill "$(cat /tmp/forwarding-iperf3.pid)" 2>/dev/null || true' EXIT
sleep 0.5

# The rule-per-client layout: the networks' return rules, then one rule per client.
rules=/tmp/forwarding-rules.save
{
  echo '*filter'
  echo ':INPUT ACCEPT [0:0]'
  echo ':FORWARD DROP [0:0]'
  echo ':OUTPUT ACCEPT [0:0]'
  for ((n = 0; n < networks; n++)); do echo "-A FORWARD -d 10.10.$n.0/24 -j ACCEPT"; done
  for ((i = 0; i < clients; i++)); do
    n=$((i % networks)) h=$((i / networks + 2))
    printf -- '-A FORWARD -s 10.10.%d.%d/32 -m mac --mac-source 02:10:%02X:%02X:%02X:%02X -j ACCEPT\n' \
      $n $h $((n >> 8)) $((n & 255)) $((h >> 8)) $((h & 255))
  done
  echo 'COMMIT'
} >"$rules"

layout() {
  reset_kernel
  case $1 in
    set) runner internet start 1 || true ;;
    rules) iptables-legacy-restore <"$rules" ;;
    floor) ;;
  esac
  echo 1 >/proc/sys/net/ipv4/ip_forward
  ip netns exec sub ping -c 3 -i 0.2 -W 1 -q $upstream >/dev/null || { echo "layout $1: no way through"; exit 1; }
}

# Received datagrams per second of one UDP run at full speed.
pps() {
  ip netns exec sub iperf3 -c $upstream -u -b 0 -l 64 -t "$seconds" -J |
    python3 -c 'import json,sys; s=json.load(sys.stdin)["end"]["sum"]; print(round((s["packets"]-s["lost_packets"])/s["seconds"]))'
}

# Average and 99th percentile round trip (ms) of 1,000 echo requests 1 ms apart.
rtt() {
  ip netns exec sub ping -n -c 1000 -i 0.001 -W 1 $upstream |
    sed -n 's/.*time=\([0-9.]*\) ms.*/\1/p' | sort -n |
    awk '{a[NR]=$1; s+=$1} END {printf "%.3f %.3f\n", s/NR, a[int(NR*0.99)]}'
}

echo "router: $clients paid clients in $networks /24 networks; measured client $address $mac"
echo "rule-per-client layout: $((networks + clients)) FORWARD rules"
declare -A p r
for round in 1 2 3; do
  for l in set rules floor; do
    layout $l
    [ "$l" != set ] || [ "$round" != 1 ] || echo "set layout: $(ipset list | grep -c '^10\.') set entries, $(iptables-legacy-save -t filter | grep -c '^-A FORWARD') FORWARD rules"
    one=$(pps)
    lat=$(rtt)
    p[$l]+="$one " r[$l]+="$lat;"
    echo "round $round $l: $one packets/s; rtt avg/p99 $lat ms"
  done
done
reset_kernel
echo "== medians of three rounds"
for l in set rules floor; do
  pm=$(printf '%s\n' ${p[$l]} | median)
  am=$(echo "${r[$l]}" | tr ';' '\n' | awk 'NF {print $1}' | median)
  qm=$(echo "${r[$l]}" | tr ';' '\n' | awk 'NF {print $2}' | median)
  eval "pps_$l=$pm"
  echo "$l: $pm packets/s, rtt avg $am ms, p99 $qm ms"
done
# shellcheck disable=SC2154
awk -v s="$pps_set" -v r="$pps_rules" -v f="$pps_floor" \
  'BEGIN {printf "set/floor %.2f, rules/floor %.3f, set/rules %.1fx\n", s/f, r/f, s/r}'
