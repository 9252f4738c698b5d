#!/usr/bin/env bash
# A private MariaDB server for the tests and the demo, in a directory of its
# own and reached only through its unix socket. Never the machine's own server.
#
#   test-db.sh start DIR      start (initialising DIR on first use)
#   test-db.sh stop DIR       stop and keep the data
#   test-db.sh restart DIR
#   test-db.sh create DIR DB  create database DB loaded with db/schema.sql
#
# Clients log in as user "zarn_test", password "zarn_test", on DIR/mysql.sock.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?usage: test-db.sh start|stop|restart|create DIR [DB]}
dir=${2:?usage: test-db.sh start|stop|restart|create DIR [DB]}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
sock="$dir/mysql.sock"
pidfile="$dir/mariadb.pid"

admin() { mariadb-admin --no-defaults --socket="$sock" -uroot "$@"; }
client() { mariadb --no-defaults --socket="$sock" -uroot "$@"; }

running() { [ -S "$sock" ] && admin ping >/dev/null 2>&1; }

start() {
  if running; then return 0; fi
  if [ ! -d "$dir/data/mysql" ]; then
    mariadb-install-db --no-defaults --datadir="$dir/data" --user=root \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 \
      || { cat "$dir/install.log" >&2; exit 1; }
  fi
  # sql_mode '' accepts the zero dates that mark open rows.
  mariadbd --no-defaults --datadir="$dir/data" --socket="$sock" --pid-file="$pidfile" \
    --skip-networking --user=root --sql-mode='' --max-connections=2000 \
    --innodb-buffer-pool-size=128M --innodb-flush-log-at-trx-commit=2 \
    --log-error="$dir/server.log" >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    running && break
    sleep 0.1
  done
  running || { echo "test-db: server did not start, see $dir/server.log" >&2; tail -20 "$dir/server.log" >&2; exit 1; }
  client -e "CREATE USER IF NOT EXISTS 'zarn_test'@'localhost' IDENTIFIED BY 'zarn_test';
             GRANT ALL ON *.* TO 'zarn_test'@'localhost' WITH GRANT OPTION;"
}

stop() {
  if running; then admin shutdown || true; fi
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile" 2>/dev/null || true)
    for _ in $(seq 1 100); do
      [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  restart) stop; start ;;
  create)
    db=${3:?usage: test-db.sh create DIR DB}
    client -e "DROP DATABASE IF EXISTS \`$db\`; CREATE DATABASE \`$db\`;"
    client "$db" <"$here/../db/schema.sql"
    ;;
  *) echo "test-db: unknown command $cmd" >&2; exit 2 ;;
esac
