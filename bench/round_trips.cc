// Round trips to a far database: for each operation on a router of 10,000
// clients, the number of queries it sends (the server's Questions counter
// read before and after) and its time with the database 0, 1 and 20 ms away
// (bench/delay_proxy in front of the private server, reached over TCP as a
// router reaches its master). The baseline in the same run: the shaping
// rebuild as it read before, one address query per client and device, and
// the pinger's writes as they were made before, one update per changed row.
// Runs inside the sandbox with the private server running:
//   bench/round-trips.sh [CLIENTS [ROUND_TRIPS_MS...]]
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/sql.h"
#include "macwatch/pinger.h"
#include "macwatch/settings_rows.h"
#include "macwatch/state.h"
#include "modules/mod_shaper/per_client_reference.h"
#include "modules/mod_shaper/shaper.h"
#include "tests/router_harness.h"
#include "zarn-auth/credentials.h"

using namespace zarn_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kProxyPort = 8446;  // the port of a program's first connection
constexpr int kNetworks = 40;
constexpr int kClientStarts = 7;
constexpr const char* kRouterConf = "/zarn/conf/zarn-router.conf";
constexpr const char* kAuthConf = "/zarn/conf/zarn-auth.conf";
constexpr const char* kAuthLog = "/zarn/logs/zarn-auth.log";
constexpr const char* kSubscriber = "127.0.0.2";

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void must(const RunResult& r, int status, const char* what) {
  if (r.exit_status == status) return;
  std::fprintf(stderr, "%s failed (%d): %s\n", what, r.exit_status, r.output.c_str());
  std::exit(2);
}

// Router 1: CLIENTS paid clients in 40 /24 networks (every tenth marked for
// the notice page), each with rates and its own class numbers; two shaped
// devices (bm0 metro towards the clients, bm1 extern from them); one more
// client at 127.0.0.2 with a login account (user "bench", password
// "abcdefgh" under the key "routerkey").
void fill(TestDatabase& db, int clients) {
  // (the client networks' device, bm0, is the one the pinger probes on)
  db.exec("INSERT INTO internet_routers (id, rname, ip, `user`) VALUES (1, 'bench', '127.0.0.1', 'zarn_test')");
  std::string nets =
      "INSERT INTO internal_net (rid, net, host_min, host_max, gw) VALUES (1, '127.0.0.0/22',"
      " INET_ATON('127.0.0.1'), INET_ATON('127.0.3.254'), '127.0.0.1')";
  for (int n = 0; n < kNetworks; ++n)
    nets += ", (1, '10.10." + std::to_string(n) + ".0/24', INET_ATON('10.10." + std::to_string(n) +
            ".1'), INET_ATON('10.10." + std::to_string(n) + ".254'), '10.10." + std::to_string(n) + ".1')";
  db.exec(nets);
  db.exec("UPDATE internal_net SET device = 'bm0' WHERE net LIKE '10.10.%'");
  db.exec(
      "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern,"
      " `in`, active) VALUES (1, 1, 'bm0', 10, 0, '1000Mbit', '0', 1, 1),"
      " (2, 1, 'bm1', 0, 20, '1000Mbit', '1000Mbit', 0, 1)");
  for (int from = 1; from <= clients + 1; from += 1000) {
    std::string c = "INSERT INTO internet_clients (id, remote) VALUES ";
    std::string s = "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES ";
    std::string r = "INSERT INTO internet_restrictions VALUES ";
    for (int cid = from; cid < from + 1000 && cid <= clients + 1; ++cid) {
      const std::string sep = cid == from ? "" : ",", id = std::to_string(cid);
      const int i = cid - 1, net = i % kNetworks, host = i / kNetworks + 2;
      char mac[32];
      std::snprintf(mac, sizeof mac, "02:10:00:%02X:%02X:%02X", net, host >> 8, host & 255);
      std::string ip = "10.10." + std::to_string(net) + "." + std::to_string(host);
      if (cid == clients + 1) ip = kSubscriber;
      c += sep + "(" + id + ",1)";
      s += sep + "(" + id + "," + id + ",1,'" + ip + "','" + mac + "'," + (i % 10 == 0 ? "123" : "1") + ")";
      r += sep + "(" + id + "," + id + ",1024,2048,512,1024,1024,2048,512,1024," + id + "," + id + ")";
    }
    db.exec(c);
    db.exec(s);
    db.exec(r);
  }
  db.exec("INSERT INTO internet_vpn (cid, `user`, pass) VALUES (" + std::to_string(clients + 1) +
          ", 'bench', UNHEX('6592a29ddd2f0b6f'))");
}

long questions(TestDatabase& db) { return std::stol(db.query("SHOW GLOBAL STATUS LIKE 'Questions'").at(0).at(1)); }

void reset_kernel() {
  for (const char* table : {"filter", "mangle", "nat", "raw"}) {
    run({"/usr/sbin/iptables-legacy", "-t", table, "-F"});
    run({"/usr/sbin/iptables-legacy", "-t", table, "-X"});
  }
  for (const char* chain : {"INPUT", "FORWARD", "OUTPUT"}) run({"/usr/sbin/iptables-legacy", "-P", chain, "ACCEPT"});
  run({"/usr/sbin/ipset", "destroy"});
  for (const char* d : {"bm0", "bm1"}) run({"/usr/sbin/tc", "qdisc", "del", "dev", d, "root"});
}

// The delay proxy for one round trip, started and stopped with this object.
class Proxy {
 public:
  explicit Proxy(double round_trip_ms) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(2);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // it ends with the benchmark, however that ends
      dup2(fds[1], 1);
      close(fds[0]);
      std::string rtt = std::to_string(round_trip_ms);
      execl(ZARN_DELAY_PROXY, ZARN_DELAY_PROXY, std::to_string(kProxyPort).c_str(), db_socket().c_str(), rtt.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char ready[16] = {};
    if (read(fds[0], ready, sizeof ready - 1) <= 0) {
      std::fprintf(stderr, "the delay proxy did not start\n");
      std::exit(2);
    }
    close(fds[0]);
  }
  ~Proxy() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
};

// The database keys that reach the server through the proxy.
std::string far_database(const TestDatabase& db) {
  return "mysql_host 127.0.0.1\nmysql_port " + std::to_string(kProxyPort) +
         "\nmysql_user zarn_test\nmysql_passwd zarn_test\nmysql_dbname " + db.name() + "\n";
}

// Makes this process's next connection read the router's configuration anew.
void use_router_conf() {
  for (auto* setting : {&mysql_sock, &mysql_host, &mysql_user, &mysql_passwd, &mysql_dbname}) setting->reset();
  conf_file = kRouterConf;
}

// What one operation cost.
struct Cost {
  long queries = 0;
  double ms = 0;
};

Cost measure(TestDatabase& db, long overhead, const std::function<void()>& operation) {
  long before = questions(db);
  auto start = Clock::now();
  operation();
  double ms = ms_since(start);
  return {questions(db) - before - overhead, ms};
}

// One login at the login service, from the dialogue's start to its session id.
Cost login(TestDatabase& db, long overhead) {
  unlink(kAuthLog);  // the service, as zarn, makes it anew
  pid_t daemon = fork();
  if (daemon == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    setpgid(0, 0);  // the service and its session processes end together
    execl("/zarn/bin/zarn-auth", "/zarn/bin/zarn-auth", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!wait_for_text(kAuthLog, "Accepting connections", 20)) {
    std::fprintf(stderr, "the login service did not start: %s\n", read_file(kAuthLog).c_str());
    std::exit(2);
  }
  Cost cost;
  long before = questions(db);
  {
    auto start = Clock::now();
    Peer peer(kSubscriber, 60, 7000, "127.0.0.1");
    peer.read_until("\r\n");
    peer.send(Encrypt("bench") + "\r\n");
    peer.read_until("\r\n");
    peer.send(Encrypt("abcdefgh") + "\r\n");
    peer.read_until("\r\n");
    peer.send(Encrypt("127.0.0.1") + "\r\n");
    std::string answer = peer.read_until("\r\n");
    std::string session = peer.read_until("\r\n");
    cost.ms = ms_since(start);
    if (answer != "222 Authentication accepted.\r\n") {
      std::fprintf(stderr, "login refused: %s %s\n", answer.c_str(), read_file(kAuthLog).c_str());
      std::exit(2);
    }
    // Whatever the session's process still asks after its id has been sent.
    long seen = -1, now = questions(db), reads = 1;
    while (now - reads * overhead != seen) {
      seen = now - reads * overhead;
      usleep(500 * 1000);
      now = questions(db);
      ++reads;
    }
    cost.queries = seen - before;
  }
  kill(-daemon, SIGTERM);
  int status = 0;
  waitpid(daemon, &status, 0);
  return cost;
}

void print(const char* what, double rtt, const Cost& c) {
  std::printf("%-34s %5.0f ms %8ld queries %10.1f ms\n", what, rtt, c.queries, c.ms);
}

// A rebuild in this process with its lines recorded, not run: the reads alone.
Cost recorded_rebuild(TestDatabase& db, long overhead, int (*load)(TcBatch&, int, int)) {
  use_router_conf();
  return measure(db, overhead, [load] {
    mysql_r = sql_connect();
    TcBatch batch(TcBatch::Mode::kRecord);
    load(batch, 1, 1);
  });
}

// One pinger pass over the router's client hosts, as macwatch's pinger runs
// it, in this process, after every host was seen up: nobody answers on bm0's
// far end, so every row changes (the LAN gone dark, the most a pass writes).
Cost pinger_pass(TestDatabase& db, long overhead) {
  db.exec("UPDATE internet_settings SET hostup = 1");
  use_router_conf();
  router_id = 1;
  Cost cost = measure(db, overhead, [] {
    MYSQL* connection = sql_connect();
    std::optional<std::vector<SettingRow>> rows = select_settings(connection, kPingerQuery, 1);
    if (!rows || !ping_pass(connection, *rows)) {
      std::fprintf(stderr, "the pinger pass failed\n");
      std::exit(2);
    }
    sql_close(connection);
  });
  const std::string up = db.query("SELECT COUNT(*) FROM internet_settings WHERE hostup = 1").at(0).at(0);
  if (up != "0") {
    std::fprintf(stderr, "the pinger pass left %s rows up\n", up.c_str());
    std::exit(2);
  }
  return cost;
}

// The same rows written as a pass wrote them before, one update per round trip.
Cost one_update_per_row(TestDatabase& db, long overhead) {
  db.exec("UPDATE internet_settings SET hostup = 1");
  use_router_conf();
  const Rows rows = db.query("SELECT id, ip FROM internet_settings WHERE rid = 1 ORDER BY id");
  return measure(db, overhead, [&rows] {
    MYSQL* connection = sql_connect();
    for (const auto& row : rows)
      sql_query(connection, "update internet_settings set hostup='%s' where id='%s' and ip='%s'", "0",
                row.at(0).c_str(), row.at(1).c_str());
    sql_close(connection);
  });
}

// The floor of the shaping rebuild: its tc lines (recorded by the module
// from the database) through one `tc -force -batch -` process on bare devices.
double shaping_floor() {
  use_router_conf();
  mysql_r = sql_connect();
  TcBatch recorded(TcBatch::Mode::kRecord);
  shaper::load(recorded, 1, 1);
  std::string text;
  for (const std::string& line : recorded.recorded()) text += line + "\n";
  write_file("/tmp/shaping.tc", text);
  for (const char* d : {"bm0", "bm1"}) run({"/usr/sbin/tc", "qdisc", "del", "dev", d, "root"});
  auto start = Clock::now();
  run({"/bin/sh", "-c", "exec /usr/sbin/tc -force -batch - </tmp/shaping.tc >/dev/null 2>&1"});
  return ms_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int clients = argc > 1 ? std::atoi(argv[1]) : 10000;
  std::vector<double> round_trips;
  for (int i = 2; i < argc; ++i) round_trips.push_back(std::atof(argv[i]));
  if (round_trips.empty()) round_trips = {0, 1, 20};
  require_private_netns();
  for (const char* d : {"bm0", "bm1"})
    must(run({"/usr/sbin/ip", "link", "add", "name", d, "type", "veth", "peer", "name", std::string(d) + "p"}), 0,
         "ip link add");
  for (const char* d : {"bm0", "bm1", "bm0p", "bm1p"}) run({"/usr/sbin/ip", "link", "set", d, "up"});
  run({"/usr/sbin/ip", "addr", "add", std::string(kSubscriber) + "/8", "dev", "lo"});
  run({"/usr/sbin/ip", "addr", "add", "10.10.255.1/16", "dev", "bm0"});  // the pinger's source address

  TestDatabase db;
  fill(db, clients);
  const long first = questions(db);
  const long overhead = questions(db) - first;  // reading the counter is a question too
  std::printf("router: %d clients in %d networks on 2 shaped devices; %s\n", clients, kNetworks,
              "queries counted by the server, times from the call to its end");

  for (double rtt : round_trips) {
    Proxy proxy(rtt);
    write_file(kRouterConf, far_database(db) + "listenaddr 127.0.0.1\n");
    write_file(kAuthConf,
               "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\nping_client_time 30\n"
               "client_timeout 60\n" +
                   far_database(db));

    reset_kernel();
    print("internet start (firewall + shaping)", rtt, measure(db, overhead, [] {
            must(run_as_zarn({"/zarn/bin/gw-runner", "internet", "start", "1"}), 1, "internet start");
          }));
    print("restrict_load (shaping rebuild)", rtt, measure(db, overhead, [] {
            must(run({ZARN_MODULE_HOST, "mod_shaper.so", "restrict_load", "1", "1"}), 0, "restrict_load");
          }));
    print("  its reads alone, no tc", rtt, recorded_rebuild(db, overhead, shaper::load));
    if (rtt <= 1)
      print("  before: per-client reads, no tc", rtt, recorded_rebuild(db, overhead, shaper_reference::load));
    if (rtt == round_trips.front()) print("  floor: its tc lines, no database", rtt, {0, shaping_floor()});

    std::vector<double> times;
    long queries = 0;
    for (int i = 0; i < kClientStarts; ++i) {
      std::string cid = std::to_string(1 + i * (clients / kClientStarts));
      Cost c = measure(db, overhead, [&] {
        must(run_as_zarn({"/zarn/bin/gw-runner", "internet", "client_start", cid}), 1, "client_start");
      });
      times.push_back(c.ms);
      queries = c.queries;
    }
    std::sort(times.begin(), times.end());
    print("client_start (median of 7)", rtt, {queries, times[times.size() / 2]});
    print("a login (zarn-auth)", rtt, login(db, overhead));
    print("a pinger pass, every row changed", rtt, pinger_pass(db, overhead));
    if (rtt <= 1) print("  before: one update per row", rtt, one_update_per_row(db, overhead));
  }
  return 0;
}
