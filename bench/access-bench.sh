#!/usr/bin/env bash
# Benchmark of the access module: firewall start for a large router against
# (a) the floor, the same final state loaded by ipset restore and
# iptables-legacy-restore, and (b) the per-command way, the same lines run as
# separate ipset and iptables-legacy processes (a smaller run, scaled); then
# the latency of opening one client on the loaded router.
#   bench/access-bench.sh [BUILD_DIR] [CLIENTS] [NETWORKS]
# With BASELINE_MODULE=FILE (another build's mod_access.so), the start is also
# timed with that module, its runs taken in turn with this build's.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-10000}
networks=${3:-40}

# shellcheck source=bench/router-bench-lib.sh
. "$here/bench/router-bench-lib.sh"
bench_on_router "$0" "$build" "$clients" "$networks"
# Inside the sandbox from here on.

echo "router: $clients paid clients in $networks /24 networks, $((clients / 10)) of them also marked (active 123)"

# The start and (a) its floor, the final state restored by the two programs
# made for bulk loading, taken in turn (ROUNDS of each, 15 by default): the
# machine is shared, and a ratio of runs taken side by side moves less than
# one of runs taken a minute apart.
start_once() {
  reset_kernel
  t0=$(ms); status=0; runner internet start 1 || status=$?; t1=$(ms)
  [ "$status" = 1 ] || { echo "start failed ($status)"; tail -5 /zarn/logs/gw-runner.log; exit 1; }
  elapsed "$t0" "$t1"
}
start_once >/dev/null
entries=$(ipset list | grep -c '^10\.' || true)
marks=$(iptables-legacy-save -t mangle | grep -c 'MARK' || true)
ipset save >/tmp/sets.save
iptables-legacy-save >/tmp/tables.save
starts=(); floors=()
for i in $(seq "${ROUNDS:-15}"); do
  starts+=("$(start_once)")
  reset_kernel
  t0=$(ms); ipset restore </tmp/sets.save; iptables-legacy-restore </tmp/tables.save; t1=$(ms)
  floors+=("$(elapsed "$t0" "$t1")")
done
start_ms=$(printf '%s\n' "${starts[@]}" | median)
floor_ms=$(printf '%s\n' "${floors[@]}" | median)
echo "module start: ${starts[*]} ms (median $start_ms ms); set entries $entries, marks $marks"
echo "floor (ipset restore + iptables-legacy-restore): ${floors[*]} ms (median $floor_ms ms)"
ratios=()
for i in "${!starts[@]}"; do ratios+=("$(awk -v s="${starts[$i]}" -v f="${floors[$i]}" 'BEGIN {printf "%.3f", s / f}')"); done
echo "start / floor, run by run: median $(printf '%s\n' "${ratios[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')x"

# The start with another module, in turn with this build's, and the same state.
if [ -n "${BASELINE_MODULE:-}" ]; then
  ipset save | sort >/tmp/sets.ours
  iptables-legacy-save | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//' >/tmp/tables.ours
  cp /zarn/modules/mod_access.so /tmp/ours.so
  ours=(); theirs=()
  for i in 1 2 3 4 5 6 7 8 9; do
    for which in ours theirs; do
      if [ $which = ours ]; then cp /tmp/ours.so /zarn/modules/mod_access.so; else cp "$BASELINE_MODULE" /zarn/modules/mod_access.so; fi
      reset_kernel
      t0=$(ms); runner internet start 1 || true; t1=$(ms)
      if [ $which = ours ]; then ours+=("$(elapsed "$t0" "$t1")"); else theirs+=("$(elapsed "$t0" "$t1")"); fi
    done
  done
  ipset save | sort | cmp -s - /tmp/sets.ours && iptables-legacy-save | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//' | cmp -s - /tmp/tables.ours &&
    same="the same kernel state" || same="A DIFFERENT KERNEL STATE"
  cp /tmp/ours.so /zarn/modules/mod_access.so
  echo "in turn: this build ${ours[*]} ms (median $(printf '%s\n' "${ours[@]}" | median)), baseline ${theirs[*]} ms (median $(printf '%s\n' "${theirs[@]}" | median)); $same"
fi

# (b) The per-command way: every line of the start as its own process, for a
# tenth of the clients (the per-client lines dominate), scaled by ten.
reset_kernel
sample=$((clients / 10))
t0=$(ms)
for t in filter mangle nat raw; do iptables-legacy -t $t -F; iptables-legacy -t $t -X; done
grep '^create' /tmp/sets.save | sed 's/^create /-N /' | while read -r line; do ipset $line; done
grep '^add' /tmp/sets.save | awk -v n="$sample" 'NR <= n' | sed 's/^add /-A /' | while read -r line; do ipset $line; done
grep '^:unpaied' /tmp/tables.save | cut -c2- | awk '{print $1}' | while read -r c; do iptables-legacy -t mangle -N "$c"; done
awk '/^\*mangle/{m=1} /^\*filter/{m=0} m && /^-A/ && !/MARK/' /tmp/tables.save | while read -r line; do iptables-legacy -t mangle $line; done
awk '/^\*mangle/{m=1} /^\*filter/{m=0} m && /MARK/' /tmp/tables.save | awk -v n="$((sample / 10))" 'NR <= n' | while read -r line; do iptables-legacy -t mangle $line; done
awk '/^\*filter/{m=1} /^COMMIT/{if(m)exit} m && /^-A/' /tmp/tables.save | while read -r line; do iptables-legacy $line; done
t1=$(ms)
per_sample=$(elapsed "$t0" "$t1")
per_ms=$((per_sample * 10))
echo "per-command, $sample clients: $per_sample ms; scaled to $clients: $per_ms ms"

# Opening one client on the loaded router, 200 times, started the way the
# daemons start the runner (fork, drop to zarn, exec); the floor is the
# runner's own start with its database connection (the verb restrict).
reset_kernel
runner internet start 1 || true
echo "runner start and connection (restrict): $("$build/bench/spawn_timer" 200 /zarn/bin/gw-runner restrict)"
echo "client_start on the loaded router:      $("$build/bench/spawn_timer" 200 /zarn/bin/gw-runner internet client_start "{i}")"
python3 - "$start_ms" "$floor_ms" "$per_ms" <<'PY'
import sys
start, floor, per = map(float, sys.argv[1:])
print(f"ratios: start / floor = {start / floor:.2f}x, per-command / start = {per / start:.1f}x")
PY
