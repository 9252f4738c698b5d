#!/usr/bin/env bash
# Benchmark of opening one client on a large router: `gw-runner internet
# client_start CID` through the installed set-user-id runner, started as the
# daemons start it (fork, drop to zarn, exec), against the runner's bare start
# with its database connection (`gw-runner restrict`) in the same rounds.
#   bench/client-start-bench.sh [BUILD_DIR] [CLIENTS] [NETWORKS] [RUNS] [OTHER_BUILD_DIR]
# With OTHER_BUILD_DIR (a build of another revision, gw-runner and mod_access
# built), its runner and access module take turns with this build's in blocks
# of RUNS/4 rounds, and both are shown.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-10000}
networks=${3:-40}
runs=${4:-300}
other=${5:-}
[ -z "$other" ] || other=$(cd "$other" && pwd)
# Every round opens one marked client of its own; two builds take twice as many.
marked=$runs
[ -z "$other" ] || marked=$((2 * runs))
[ $((marked * 10 + 2)) -le "$clients" ] || { echo "too many runs for $clients clients"; exit 64; }

# shellcheck source=bench/router-bench-lib.sh
. "$here/bench/router-bench-lib.sh"
bench_on_router "$0" "$build" "$clients" "$networks" "$runs" "$other"
# Inside the sandbox from here on.

reset_kernel
status=0
runner internet start 1 || status=$?
[ "$status" = 1 ] || { echo "start failed ($status)"; tail -5 /zarn/logs/gw-runner.log; exit 1; }
entries() { ipset list | grep -c '^10\.' || true; }
marks() { iptables-legacy-save -t mangle | grep -c 'MARK' || true; }
echo "router: $clients paid clients in $networks /24 networks; set entries $(entries), marks $(marks)"

labels=("runner start + connection (restrict)" "client_start of no client (module, queries)"
  "client_start, paid client" "client_start, marked client (mark removed)")
# ROUNDS FIRST: rounds of the four commands; clients FIRST+10i+1 are also
# marked (active 123), so their start removes a mark; clients FIRST+10i+2 are
# paid only; client 0 does not exist (the module is loaded and queried).
rounds() {
  "$build/bench/spawn_timer" "$1" /zarn/bin/gw-runner restrict \
    -- /zarn/bin/gw-runner internet client_start 0 \
    -- /zarn/bin/gw-runner internet client_start "{10i+$(($2 + 2))}" \
    -- /zarn/bin/gw-runner internet client_start "{10i+$(($2 + 1))}"
}
show() {
  local i=0
  while IFS= read -r line; do
    printf '%-46s %s\n' "${labels[$i]}:" "$line"
    i=$((i + 1))
  done <<<"$1"
  python3 - "$1" <<'PY'
import re, sys
medians = [float(m) for m in re.findall(r"median ([0-9.]+)", sys.argv[1])]
base = medians[0]
print(f"median over the bare start: paid +{medians[2] - base:.2f} ms ({medians[2] / base:.2f}x), "
      f"marked +{medians[3] - base:.2f} ms ({medians[3] / base:.2f}x)")
PY
}

if [ -z "$other" ]; then
  show "$(rounds "$runs" 0)"
else
  # Two installed pairs of runner and module, swapped in place between blocks.
  mkdir -p /tmp/zarn-bench-pairs/this /tmp/zarn-bench-pairs/other
  cp /zarn/bin/gw-runner /zarn/modules/mod_access.so /tmp/zarn-bench-pairs/this/
  cp "$other/gw-runner/gw-runner" "$other/modules/mod_access/mod_access.so" /tmp/zarn-bench-pairs/other/
  use() {
    install -m 4750 -o root -g zarn "/tmp/zarn-bench-pairs/$1/gw-runner" /zarn/bin/gw-runner
    install -m 0644 -o root -g root "/tmp/zarn-bench-pairs/$1/mod_access.so" /zarn/modules/mod_access.so
  }
  block=$((runs / 4))
  : >/tmp/zarn-bench-this.txt
  : >/tmp/zarn-bench-other.txt
  for b in 0 1 2 3; do
    use other
    rounds "$block" $((b * 20 * block)) >>/tmp/zarn-bench-other.txt
    use this
    rounds "$block" $((b * 20 * block + 10 * block)) >>/tmp/zarn-bench-this.txt
  done
  # Medians of the block medians, per command line.
  merge() {
    python3 - "$1" <<'PY'
import re, statistics, sys
lines = open(sys.argv[1]).read().splitlines()
for k in range(4):
    rows = [lines[i] for i in range(k, len(lines), 4)]
    pick = lambda key: statistics.median(float(re.search(key + r" ([0-9.]+)", r).group(1)) for r in rows)
    fails = sum(int(re.search(r"not status 1: ([0-9]+)", r).group(1)) for r in rows)
    print(f"median {pick('median'):.2f} ms, p90 {pick('p90'):.2f} ms, p99 {pick('p99'):.2f} ms, "
          f"cpu {pick('cpu'):.2f} ms, blocks {len(rows)}, not status 1: {fails}")
PY
  }
  echo "== other build ($other), medians of 4 blocks of $block rounds"
  show "$(merge /tmp/zarn-bench-other.txt)"
  echo "== this build ($build)"
  show "$(merge /tmp/zarn-bench-this.txt)"
fi
echo "after: set entries $(entries) (expected $clients), marks $(marks) (expected $((clients / 10 - marked)))"
