#!/usr/bin/env bash
# Benchmark of zarn-state on the router of the access benchmark: verify of
# the whole router, and repair of 100 scattered differences, against a full
# `internet start` of the same router in the same run.
#   bench/state-bench.sh [BUILD_DIR] [CLIENTS] [NETWORKS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-10000}
networks=${3:-40}

# shellcheck source=bench/router-bench-lib.sh
. "$here/bench/router-bench-lib.sh"
bench_on_router "$0" "$build" "$clients" "$networks"
# Inside the sandbox from here on.

# 100 differences spread over the router: 50 entries deleted, 25 MACs changed,
# 25 mark rules deleted (client i is 10.10.(i-1)%N.((i-1)/N+2), every tenth marked).
make_drift() {
  local i net host
  for k in $(seq 0 49); do
    i=$((k * 197 + 3)); net=$(( (i - 1) % networks )); host=$(( (i - 1) / networks + 2 ))
    [ $(( (i - 1) % 10 )) = 0 ] && i=$((i + 1)) && net=$(( (i - 1) % networks )) && host=$(( (i - 1) / networks + 2 ))
    ipset del "src_10_10_${net}_0_24" "10.10.$net.$host"
  done
  for k in $(seq 0 24); do
    i=$((k * 389 + 5)); net=$(( (i - 1) % networks )); host=$(( (i - 1) / networks + 2 ))
    ipset del "src_10_10_${net}_0_24" "10.10.$net.$host"
    ipset add "src_10_10_${net}_0_24" "10.10.$net.$host,02:99:00:00:00:01"
  done
  for k in $(seq 0 24); do
    i=$((k * 390 + 1)); net=$(( (i - 1) % networks )); host=$(( (i - 1) / networks + 2 ))
    iptables-legacy -t mangle -D "unpaied_10_10_$net" -s "10.10.$net.$host" -m multiport -p tcp --dports 80 -j MARK --set-mark 80
  done
}

echo "router: $clients paid clients in $networks /24 networks, $((clients / 10)) of them also marked (active 123)"
starts=(); verifies=(); repairs=()
for run in 1 2 3; do
  reset_kernel
  t0=$(ms); status=0; runner internet start 1 || status=$?; t1=$(ms)
  [ "$status" = 1 ] || { echo "start failed ($status)"; exit 1; }
  starts+=("$(elapsed "$t0" "$t1")")
  t0=$(ms); status=0; /zarn/bin/zarn-state verify >/tmp/verify.out || status=$?; t1=$(ms)
  [ "$status" = 0 ] || { echo "verify after start found differences ($status):"; head /tmp/verify.out; exit 1; }
  verifies+=("$(elapsed "$t0" "$t1")")
  make_drift
  status=0; /zarn/bin/zarn-state verify >/tmp/verify.out || status=$?
  found=$(wc -l </tmp/verify.out)
  [ "$status" = 1 ] && [ "$found" = 100 ] || { echo "expected 100 differences, verify gave $found ($status)"; exit 1; }
  t0=$(ms); /zarn/bin/zarn-state repair >/tmp/repair.out; t1=$(ms)
  repairs+=("$(elapsed "$t0" "$t1")")
  /zarn/bin/zarn-state verify >/dev/null || { echo "differences left after repair"; exit 1; }
done
start_ms=$(printf '%s\n' "${starts[@]}" | median)
verify_ms=$(printf '%s\n' "${verifies[@]}" | median)
repair_ms=$(printf '%s\n' "${repairs[@]}" | median)
echo "internet start:            ${starts[*]} ms (median $start_ms ms)"
echo "verify, clean router:      ${verifies[*]} ms (median $verify_ms ms)"
echo "repair, 100 differences:   ${repairs[*]} ms (median $repair_ms ms; includes its own verify)"
python3 - "$start_ms" "$verify_ms" "$repair_ms" <<'PY'
import sys
start, verify, repair = map(float, sys.argv[1:])
print(f"ratios: start / repair = {start / max(repair, 1):.1f}x, start / verify = {start / max(verify, 1):.1f}x")
PY
