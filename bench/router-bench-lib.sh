# Shared by the benchmarks that run on a large router (sourced, not run).
# bench_on_router SCRIPT BUILD CLIENTS NETWORKS [ARG...]: outside the sandbox, makes the
# router in a private database, installs the build and runs SCRIPT again
# inside the sandbox; inside (ZARN_BENCH_INNER=1) it returns and defines the
# helpers the measurements use.

bench_on_router() {
  local script=$1 build=$2 clients=$3 networks=$4
  shift 4
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  if [ "${ZARN_BENCH_INNER:-}" != 1 ]; then
    "$here/scripts/ensure-zarn-user.sh"
    local dbdir="$build/bench-db" root="$build/bench-root"
    "$here/scripts/test-db.sh" start "$dbdir"
    "$here/scripts/test-db.sh" create "$dbdir" zarn_bench
    python3 "$here/bench/make-router.py" "$clients" "$networks" |
      mariadb --no-defaults --socket="$dbdir/mysql.sock" -uroot zarn_bench
    rm -rf "$root"
    "$here/scripts/install-root.sh" "$build" "$root"
    printf 'mysql_host localhost\nmysql_user zarn_test\nmysql_passwd zarn_test\nmysql_dbname zarn_bench\nmysql_sock %s\nlistenaddr 10.10.0.1\n' \
      "$dbdir/mysql.sock" >"$root/conf/zarn-router.conf"
    ZARN_BENCH_INNER=1 "$here/scripts/sandbox.sh" "$root" "$script" "$build" "$clients" "$networks" "$@"
    "$here/scripts/test-db.sh" stop "$dbdir"
    exit
  fi
}

ms() { date +%s%N; }
elapsed() { echo $(( ($2 - $1) / 1000000 )); }
runner() { setpriv --reuid=zarn --regid=zarn --clear-groups /zarn/bin/gw-runner "$@" >/dev/null; }
reset_kernel() {
  for t in filter mangle nat raw; do iptables-legacy -t $t -F; iptables-legacy -t $t -X; done
  for c in INPUT FORWARD OUTPUT; do iptables-legacy -P $c ACCEPT; done
  ipset destroy 2>/dev/null || true
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
