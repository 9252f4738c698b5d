#!/usr/bin/env bash
# Benchmark of opening one client on a large router: `gw-runner internet
# client_start CID` through the installed set-user-id runner, started as the
# daemons start it (fork, drop to zarn, exec), against the runner's bare start
# with its database connection (`gw-runner restrict`) in the same rounds.
#   bench/client-start-bench.sh [BUILD_DIR] [CLIENTS] [NETWORKS] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
clients=${2:-10000}
networks=${3:-40}
runs=${4:-300}
[ $((runs * 10 + 2)) -le "$clients" ] || { echo "at most $(((clients - 2) / 10)) runs for $clients clients"; exit 64; }

# shellcheck source=bench/router-bench-lib.sh
. "$here/bench/router-bench-lib.sh"
bench_on_router "$0" "$build" "$clients" "$networks" "$runs"
# Inside the sandbox from here on.

reset_kernel
status=0
runner internet start 1 || status=$?
[ "$status" = 1 ] || { echo "start failed ($status)"; tail -5 /zarn/logs/gw-runner.log; exit 1; }
entries() { ipset list | grep -c '^10\.' || true; }
marks() { iptables-legacy-save -t mangle | grep -c 'MARK' || true; }
echo "router: $clients paid clients in $networks /24 networks; set entries $(entries), marks $(marks)"

# Clients 10i+2 are paid only (their entry is replaced, no mark to remove);
# clients 10i+1 are also marked (active 123), so their start removes a mark.
# Client 0 does not exist: the module is loaded and queried, nothing changed.
out=$("$build/bench/spawn_timer" "$runs" /zarn/bin/gw-runner restrict \
  -- /zarn/bin/gw-runner internet client_start 0 \
  -- /zarn/bin/gw-runner internet client_start "{10i+2}" \
  -- /zarn/bin/gw-runner internet client_start "{10i+1}")
labels=("runner start + connection (restrict)" "client_start of no client (module, queries)"
  "client_start, paid client" "client_start, marked client (mark removed)")
i=0
while IFS= read -r line; do
  printf '%-46s %s\n' "${labels[$i]}:" "$line"
  i=$((i + 1))
done <<<"$out"
echo "after: set entries $(entries) (expected $clients), marks $(marks) (expected $((clients / 10 - runs)))"
python3 - "$out" <<'PY'
import re, sys
medians = [float(m) for m in re.findall(r"median ([0-9.]+)", sys.argv[1])]
base = medians[0]
print(f"median over the bare start: paid {medians[2] - base:.2f} ms ({medians[2] / base:.2f}x), "
      f"marked {medians[3] - base:.2f} ms ({medians[3] / base:.2f}x)")
PY
