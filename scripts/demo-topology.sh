# shellcheck shell=bash
# The demo's router and its surroundings, shared by scripts/demo.sh and
# bench/soak.sh (sourced, not run).
#
# Outside the sandbox:
#   topology_prepare HERE BUILD DIR [EXTRA_SQL...]
#       starts the private database in DIR/db (database zarn_demo, loaded with
#       db/demo.sql and then each EXTRA_SQL), creates the router's database
#       account "demo", installs BUILD into DIR/root with the router's ports
#       and zarn-router.conf. Database socket: DIR/db/mysql.sock.
# Inside the sandbox (ZARN_DEMO_DB_SOCKET names the database socket):
#   topology_network    this namespace is the router; lan0 leads to the
#                       master's namespace "master" (10.1.1.0/24), lan1 is the
#                       bridge of the subscriber LAN 10.1.2.0/24
#   topology_host NAME ADDRESS MAC   a subscriber host (namespace) on lan1
#   as_zarn CMD...      runs CMD with real uid and gid zarn
#   sql QUERY           runs QUERY in the demo database as root
#   members SET         the members of an ip set, one a line

topology_prepare() {
  local here=$1 build=$2 demo=$3
  shift 3
  echo "== starting the private database in $demo/db"
  "$here/scripts/test-db.sh" start "$demo/db"
  "$here/scripts/test-db.sh" create "$demo/db" zarn_demo
  mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot zarn_demo <"$here/db/demo.sql"
  local extra
  for extra in "$@"; do
    mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot zarn_demo <"$extra"
  done
  # The login service finds its router by its database account: the demo router's is "demo".
  mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot \
    -e "CREATE USER IF NOT EXISTS 'demo'@'localhost' IDENTIFIED BY 'demo'; GRANT ALL ON zarn_demo.* TO 'demo'@'localhost';"
  mariadb --no-defaults --socket="$demo/db/mysql.sock" -uroot zarn_demo -t \
    -e "SELECT id, rname, ip FROM internet_routers; SELECT s.cid, s.ip, s.mac, s.active FROM internet_settings s ORDER BY s.id;"

  echo "== installing into $demo/root"
  rm -rf "$demo/root"
  "$here/scripts/install-root.sh" "$build" "$demo/root"
  # The router's own services, opened in the firewall: control from the master
  # side, logins from the subscriber side.
  printf '# the control service, from the master\n9000|tcp|lan0\n# logins\n7000|tcp|lan1\n' >"$demo/root/conf/router-ports"
  cat >"$demo/root/conf/zarn-router.conf" <<CONF
# Demo router settings (see db/demo.sql)
mysql_host localhost
mysql_user zarn_test
mysql_passwd zarn_test
mysql_dbname zarn_demo
mysql_sock $demo/db/mysql.sock
# The control service (zarn-router) on the router's address in 10.1.1.0/24;
# the master server is the namespace across lan0.
listenport 9000
listenaddr 10.1.1.1
master_server 10.1.1.254
crypt_key routerkey
CONF
}

topology_network() {
  mkdir -p /run/netns && mount -t tmpfs tmpfs /run/netns
  ip netns add master
  ip link add name lan0 type veth peer name eth0 netns master
  ip addr add 10.1.1.1/24 dev lan0 && ip link set lan0 up
  ip -n master addr add 10.1.1.254/24 dev eth0 && ip -n master link set eth0 up && ip -n master link set lo up
  ip link add name lan1 type bridge && ip link set lan1 up
  ip addr add 10.1.2.1/24 dev lan1
}

topology_host() {
  ip netns add "$1"
  ip link add name "p-$1" type veth peer name eth0 netns "$1"
  ip -n "$1" link set eth0 address "$3"
  ip -n "$1" addr add "$2/24" dev eth0 && ip -n "$1" link set eth0 up && ip -n "$1" link set lo up
  ip link set "p-$1" master lan1 up
}

as_zarn() { setpriv --reuid=zarn --regid=zarn --clear-groups "$@"; }
sql() { mariadb --no-defaults --socket="$ZARN_DEMO_DB_SOCKET" -uroot zarn_demo -e "$1"; }
members() { ipset list "$1" | sed -n '/^Members:/,$p' | tail -n +2; }
