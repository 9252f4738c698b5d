#!/usr/bin/env bash
# What the kernel costs for the shaping tree of a large router, whatever the
# program that writes it: one veth device in a private network namespace,
# the rebuild's tree (root, 1:1, 1:15, 1:10 with its pfifo; its one fw
# filter is left out, for kernels without that classifier),
# then N client classes under 1:10 with one u32 filter each, through one
# `tc -force -batch` process, in three orders:
#   classes   the client classes alone (no filters);
#   split     all classes, then all filters;
#   rebuild   class and filter client by client, the order the rebuild writes.
#   bench/htb-class-floor.sh [CLIENTS...]      (default: 2500 5000 9900; at most
# 9959, the class numbers being 21 to 9979 as a router's are)
set -euo pipefail
if [ "${ZARN_HTB_INNER:-}" != 1 ]; then
  ZARN_HTB_INNER=1 exec unshare --net -- "$0" "$@"
fi
own=$(readlink /proc/self/ns/net)
machine=$(readlink /proc/2/ns/net || readlink /proc/1/ns/net || true)
if [ -z "$own" ] || [ "$own" = "$machine" ]; then
  echo "htb-class-floor: refusing to run in the machine's own network namespace" >&2
  exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

lines() {  # ORDER CLIENTS
  local order=$1 n=$2
  python3 - "$order" "$n" <<'PY'
import sys
order, n = sys.argv[1], int(sys.argv[2])
rate = "100Mbit"
out = [
    "qdisc add dev hb0 root handle 1: htb default 15",
    f"class add dev hb0 parent 1: classid 1:1 htb rate {rate} ceil {rate} burst 2k quantum 1536",
    f"class add dev hb0 parent 1:1 classid 1:15 htb rate {rate} ceil {rate} burst 12k prio 2 quantum 1536",
    "qdisc add dev hb0 parent 1:0x15 handle 0x15: pfifo limit 5",
    f"class add dev hb0 parent 1:1 classid 1:10 htb rate {rate} ceil {rate} burst 12k prio 2 quantum 1536",
    "qdisc add dev hb0 parent 1:0x10 handle 0x10: pfifo limit 5",
]
classes, filters = [], []
for i in range(1, n + 1):
    minor = i + 20  # written as 1:0xNUMBER, the way the rebuild writes its classes
    ip = "10.%d.%d.%d" % (10 + i // 65536, (i // 256) % 256, i % 256)
    classes.append(f"class add dev hb0 parent 1:10 classid 1:0x{minor} htb rate 1Mbit ceil 2Mbit burst 12k prio 2 quantum 1536")
    filters.append(f"filter add dev hb0 protocol ip pref 10 parent 1:10 u32 match ip dst {ip} classid 1:0x{minor}")
if order == "classes":
    out += classes
elif order == "split":
    out += classes + filters
else:
    for c, f in zip(classes, filters):
        out += [c, f]
print("\n".join(out))
PY
}

ms() { date +%s%N; }
printf '%8s %10s %10s %10s\n' clients classes split rebuild
for n in "${@:-2500 5000 9900}"; do
  for n1 in $n; do
    [ "$n1" -le 9959 ] || { echo "htb-class-floor: at most 9959 clients" >&2; exit 2; }
    row=$(printf '%8s' "$n1")
    for order in classes split rebuild; do
      lines "$order" "$n1" >"$work/lines"
      ip link add hb0 type veth peer name hb1
      ip link set hb0 up
      t0=$(ms)
      tc -force -batch "$work/lines" >/dev/null
      t1=$(ms)
      made=$(tc class show dev hb0 | wc -l)
      ip link del hb0
      [ "$made" -eq $((n1 + 3)) ] || { echo "htb-class-floor: $made classes made, $((n1 + 3)) expected" >&2; exit 1; }
      row+=$(printf ' %8d ms' $(((t1 - t0) / 1000000)))
    done
    echo "$row"
  done
done
