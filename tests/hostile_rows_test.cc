// Database rows with hostile values (addresses and MACs that fail the checks,
// shell syntax, SQL quotes, texts as long as the columns take) on the paths
// that read them: the firewall build with the shaper, the client commands of
// the runner, zarn-state, the login service and macwatch's workers. What must
// hold: each bad row refused with a log line, nothing executed, the good rows
// applied exactly as without the bad ones, and no crash.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/auth_harness.h"
#include "tests/macwatch_workers.h"
#include "tests/subscriber_lan.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

const std::string kRunnerLog = "/zarn/logs/gw-runner.log";

// Where a shell injection of this test would leave its mark (the sandbox
// shares /tmp with the machine, so the name is the test process's own).
std::string pwned() { return "/tmp/zarn-pwned-" + std::to_string(getpid()); }

std::string sql_text(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "'";
}

// The value as the module's refusal line shows it.
std::string shown(const std::string& value) {
  std::string out;
  for (char c : value.substr(0, 64)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}

std::vector<std::string> hostile_addresses() {
  return {"10.1.1.20 -j ACCEPT",
          "10.1.1.21;touch " + pwned(),
          "$(touch " + pwned() + ")",
          "`touch " + pwned() + "`",
          "10.1.1.0/24",
          "0.0.0.0/0",
          "10.1.1.22 ",
          "10.1.1.23\n-A INPUT -j ACCEPT",
          "10.1.1.24' OR '1'='1",
          std::string(10000, '9')};
}

std::vector<std::string> hostile_macs() {
  return {"02:00:00:00:01:30 -exist", "02:00:00:00:01:31;touch " + pwned(), "$(touch " + pwned() + ")",
          "02:00:00:00:01:32,x",      "02:00:00:00:01:33' OR '1'='1",       "02:00:00:00:01:34 ",
          std::string(10000, 'A')};
}

std::vector<std::string> hostile_networks() {
  return {"10.1.5.0/24 -j DROP", "10.1.6.0/24;touch " + pwned(), "$(touch " + pwned() + ")", "10.1.7.0/24' OR '1'='1",
          "10.1.8.0/24 ",        std::string(10000, '8')};
}

std::vector<std::string> hostile_devices() {
  return {"eth0;touch " + pwned(), "$(reboot)", "eth0 root", "eth0\nqdisc del dev lo root", std::string(10000, 'e')};
}

// Every set of the kernel with its members, and the rule tables.
struct KernelState {
  std::string filter, mangle;
  std::map<std::string, std::vector<std::string>> sets;
  bool operator==(const KernelState&) const = default;
};

KernelState kernel_state() {
  KernelState k{saved_table("filter"), saved_table("mangle"), {}};
  RunResult names = run({"/usr/sbin/ipset", "list", "-n"});
  std::istringstream lines(names.output);
  for (std::string name; std::getline(lines, name);)
    if (!name.empty()) k.sets[name] = set_members(name);
  return k;
}

std::string describe(const KernelState& k) {
  std::string out = k.filter + k.mangle;
  for (const auto& [name, members] : k.sets) {
    out += name + ":";
    for (const std::string& m : members) out += " " + m;
    out += "\n";
  }
  return out;
}

class HostileRowsTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines() + "listenaddr 10.1.1.1\n");
    fs::remove(pwned());
  }
  void TearDown() override {
    EXPECT_FALSE(path_exists(pwned())) << "a stored text was run by a shell";
    fs::remove(pwned());
  }
  // The stored values of a column (as the columns' sizes cut them).
  std::vector<std::string> stored(const std::string& sql) {
    std::vector<std::string> values;
    for (const auto& row : db_.query(sql)) values.push_back(row[0]);
    return values;
  }
  // Hostile settings: each address once paid (id 100 + i) and once unpaid
  // (id 150 + i), each MAC on a good address (id 200 + j); each its own client.
  void add_hostile_settings() {
    auto add = [&](int id, const std::string& ip, const std::string& mac, int active) {
      db_.exec("INSERT INTO internet_clients (id, remote) VALUES (" + std::to_string(id) +
               ", 1);"
               "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (" +
               std::to_string(id) + "," + std::to_string(id) + ", 1, " + sql_text(ip) + ", " + sql_text(mac) + ", " +
               std::to_string(active) + ")");
    };
    std::vector<std::string> addresses = hostile_addresses(), macs = hostile_macs();
    for (size_t i = 0; i < addresses.size(); ++i) {
      add(100 + static_cast<int>(i), addresses[i], "02:00:00:00:03:" + std::to_string(10 + i), 1);
      add(150 + static_cast<int>(i), addresses[i], "02:00:00:00:04:" + std::to_string(10 + i), 0);
    }
    for (size_t j = 0; j < macs.size(); ++j)
      add(200 + static_cast<int>(j), "10.1.2." + std::to_string(100 + j), macs[j], 1);
  }
  void add_hostile_networks_and_devices() {
    std::vector<std::string> nets = hostile_networks(), devices = hostile_devices();
    for (size_t i = 0; i < nets.size(); ++i) {
      std::string third = std::to_string(20 + i);
      db_.exec("INSERT INTO internal_net (rid, net, host_min, host_max) VALUES (1, " + sql_text(nets[i]) +
               ", INET_ATON('10.1." + third + ".1'), INET_ATON('10.1." + third + ".254'))");
    }
    for (const std::string& device : devices)
      db_.exec(
          "INSERT INTO routers_devices (rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern)"
          " VALUES (1, " +
          sql_text(device) + ", 10, 20, '10Mbit', '5Mbit')");
  }
  void expect_logged(const std::string& log, const std::string& line) {
    EXPECT_NE(log.find(line), std::string::npos) << "expected the line\n" << line << "in the log:\n" << log;
  }

  TestDatabase db_;
};

TEST_F(HostileRowsTest, TheBuildAndTheClientCommandsApplyOnlyTheGoodRows) {
  RunResult clean = runner({"internet", "start", "1"});
  ASSERT_EQ(clean.exit_status, 1) << read_file(kRunnerLog);
  KernelState baseline = kernel_state();

  add_hostile_settings();
  add_hostile_networks_and_devices();
  db_.exec("UPDATE internet_routers SET ip = '10.1.1.1 -j DROP' WHERE id = 1");
  fs::remove(kRunnerLog);
  RunResult build = runner({"internet", "start", "1"});
  EXPECT_EQ(build.signal, 0);
  EXPECT_GT(build.exit_status, 1) << "the skipped rows count as probable errors";
  // Everything the good rows gave, and nothing else: the router's own
  // address rule is the one good rule that a bad value takes away.
  KernelState expected = baseline;
  expected.filter = std::regex_replace(expected.filter, std::regex("-A OUTPUT -s 10\\.1\\.1\\.1/32 -j ACCEPT\n"), "");
  ASSERT_NE(expected.filter, baseline.filter) << "the router's rule is in the clean build";
  KernelState built = kernel_state();
  EXPECT_EQ(built, expected) << "expected:\n" << describe(expected) << "saw:\n" << describe(built);
  EXPECT_NE(built.filter.find(":FORWARD DROP"), std::string::npos) << "the build went to its end";

  std::string log = read_file(kRunnerLog);
  for (const std::string& ip : stored("SELECT DISTINCT ip FROM internet_settings WHERE id >= 100 AND id < 200"))
    expect_logged(log, "Internet: row skipped, bad ip: " + shown(ip) + "\n");
  for (const std::string& mac : stored("SELECT mac FROM internet_settings WHERE id >= 200"))
    expect_logged(log, "Internet: row skipped, bad mac: " + shown(mac) + "\n");
  for (const std::string& net :
       stored("SELECT net FROM internal_net WHERE host_min BETWEEN INET_ATON('10.1.20.0') AND INET_ATON('10.1.30.0')"))
    expect_logged(log, "Internet: row skipped, bad net: " + shown(net) + "\n");
  expect_logged(log, "Internet: row skipped, bad router ip: 10.1.1.1 -j DROP\n");
  for (const std::string& device : stored("SELECT device FROM routers_devices"))
    expect_logged(log, "Bandwidth: row skipped, bad device: " + shown(device) + "\n");

  // The runner's client commands on the bad rows are refused and change nothing.
  int refused = 0;
  for (int id : {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 150, 154, 155, 200, 201, 202, 203, 204, 205, 206}) {
    const std::string cid = std::to_string(id);
    for (const std::vector<std::string>& command : {std::vector<std::string>{"internet", "client_start", cid},
                                                    {"internet", "client_stop", cid},
                                                    {"internet", "id_start", cid},
                                                    {"internet", "id_stop", cid},
                                                    {"redirect", "start", cid},
                                                    {"macwatch", cid, "start"}}) {
      if (id >= 200 && command[0] == "redirect") continue;  // a mark rule holds no MAC
      RunResult r = runner(command);
      EXPECT_EQ(r.signal, 0) << command[1] << " " << cid;
      EXPECT_NE(r.exit_status, 1) << command[0] << " " << command[1] << " " << command[2] << " reported success";
      ++refused;
    }
  }
  // Ids with SQL quotes on the command line.
  for (const char* id : {"1' OR '1'='1", "1 OR 1=1", "1;touch /tmp/x"})
    EXPECT_NE(runner({"internet", "client_start", id}).exit_status, 1) << id;
  EXPECT_EQ(kernel_state(), built) << "a refused command changed the kernel:\n" << describe(kernel_state());
  EXPECT_EQ(refused, 113);

  // The good rows still answer to their commands.
  EXPECT_EQ(runner({"internet", "client_start", "3"}).exit_status, 1) << read_file(kRunnerLog);
  EXPECT_NE(describe(kernel_state()).find("10.1.1.12,02:00:00:00:01:0C"), std::string::npos);
  EXPECT_EQ(runner({"internet", "client_stop", "3"}).exit_status, 1);
  EXPECT_EQ(runner({"internet", "client_stop", "1"}).exit_status, 1);
  EXPECT_EQ(set_members("src_10_1_1_0_24"), std::vector<std::string>{"10.1.1.11,02:00:00:00:01:0B"});
}

TEST_F(HostileRowsTest, ZarnStateRepairsTheGoodRowsAndLeavesTheBadOnesOut) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  add_hostile_settings();
  // The settings' failures are logged, the build's status counts its own rules.
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  KernelState built = kernel_state();
  // A drift of a good row beside the bad ones.
  ASSERT_EQ(run({"/usr/sbin/ipset", "del", "src_10_1_1_0_24", "10.1.1.10,02:00:00:00:01:0A"}).exit_status, 0);

  RunResult verify = run({"/zarn/bin/zarn-state", "verify"});
  EXPECT_EQ(verify.signal, 0);
  EXPECT_EQ(verify.exit_status, 1) << verify.output;
  EXPECT_NE(verify.output.find("10.1.1.10"), std::string::npos) << verify.output;

  RunResult repair = run({"/zarn/bin/zarn-state", "repair"});
  EXPECT_EQ(repair.signal, 0) << repair.output;
  std::string log = read_file("/zarn/logs/zarn-state.log");
  EXPECT_NE(log.find("zarn-state: fixed forwarding missing: 10.1.1.10 02:00:00:00:01:0A\n"), std::string::npos) << log;
  EXPECT_NE(log.find("zarn-state: could not fix"), std::string::npos) << "the bad rows cannot be applied:\n" << log;
  EXPECT_EQ(kernel_state(), built) << "expected the build's state again, saw:\n" << describe(kernel_state()) << log;
}

// The login service reads the account, settings and message tables.
class HostileLoginRowsTest : public testing::Test {
 protected:
  void SetUp() override {
    require_private_netns();
    for (const char* address : {kAlice, "127.0.0.24", "127.0.0.25", "127.0.0.26"})
      run({"/usr/sbin/ip", "addr", "add", std::string(address) + "/8", "dev", "lo"});
    for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
    fs::remove(pwned());
    // abcdefgh under routerkey for every account.
    db_.exec(
        "INSERT INTO internet_routers (id, rname, ip, `user`) VALUES (3, 'auth-router', '127.0.0.1', 'zarn_test');"
        "INSERT INTO internal_net (rid, net, host_min, host_max, gw) VALUES"
        " (3, '127.0.0.0/24', INET_ATON('127.0.0.1'), INET_ATON('127.0.0.254'), '127.0.0.1');"
        "INSERT INTO internet_clients (id, remote) VALUES (21, 3), (24, 3), (25, 3), (26, 3);"
        "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES"
        " (21, 3, '127.0.0.21', '02:00:00:00:00:21', 1), (24, 3, '127.0.0.24', '02:00:00:00:00:24', 1),"
        " (25, 3, '127.0.0.25', '02:00:00:00:00:25 -exist', 1), (26, 3, '127.0.0.26', '02:00:00:00:00:26', 1);"
        "INSERT INTO internet_vpn (cid, `user`, pass) VALUES (21, 'alice', UNHEX('6592a29ddd2f0b6f')),"
        " (24, " +
        sql_text(kQuoted) +
        ", UNHEX('6592a29ddd2f0b6f')), (25, 'eve', UNHEX('6592a29ddd2f0b6f')),"
        " (26, " +
        sql_text(std::string(10000, 'u')) +
        ", UNHEX('6592a29ddd2f0b6f'));"
        "INSERT INTO internet_vpn_messages VALUES (NULL, 0, " +
        sql_text(std::string(10000, 'm')) +
        ", NOW() - INTERVAL 1 DAY, NOW() + INTERVAL 1 DAY, 1);"
        "INSERT INTO internet_vpn_url_messages VALUES (NULL, 0, '%s%n%x $(touch " +
        pwned() + ")', NOW() - INTERVAL 1 DAY, NOW() + INTERVAL 1 DAY, 1);");
    write_file("/zarn/conf/zarn-auth.conf", "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\n" +
                                                db_.config_lines() + "ping_client_time 5\nclient_timeout 10\n");
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines());
    ASSERT_EQ(runner({"internet", "start", "3"}).exit_status, 1) << read_file(kRunnerLog);
    for (const char* cid : {"21", "24", "26"}) ASSERT_EQ(runner({"ZarnAuth", cid, "stop"}).exit_status, 1);
  }
  void TearDown() override {
    EXPECT_FALSE(path_exists(pwned())) << "a stored text was run by a shell";
    fs::remove(pwned());
  }
  bool forwarded(const std::string& ip) { return forwarded_on_loopback(ip); }
  std::string count(const std::string& sql) { return db_.query(sql)[0][0]; }
  std::string open_rows(int cid) {
    return count("SELECT COUNT(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00' AND cid = " +
                 std::to_string(cid));
  }
  // Logs in from `from`, expects the forwarding and the row while it lasts
  // and both gone after a wrong keep-alive answer.
  void expect_whole_login(const char* from, const std::string& user, int cid) {
    SCOPED_TRACE(from);
    Subscriber s(from);
    ASSERT_EQ(s.login(user, "abcdefgh"), "222 Authentication accepted.\r\n") << read_file(kAuthLog);
    EXPECT_EQ(s.line().rfind("227 ", 0), 0u);
    EXPECT_TRUE(forwarded(from));
    EXPECT_EQ(open_rows(cid), "1");
    std::string line;
    while ((line = s.line()) != "228 SessionID\r\n" && !line.empty()) {
    }
    s.send("wrong");
    s.expect_good_bye();
    EXPECT_TRUE(eventually([&] { return !forwarded(from) && open_rows(cid) == "0"; }, 10));
  }

  static inline const std::string kQuoted = "o'brien\"\\`x";
  TestDatabase db_;
};

TEST_F(HostileLoginRowsTest, QuotesLongTextsAndABadMacInTheLoginTables) {
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.output();
  {
    // The messages are sent as stored (the column keeps 1024 characters), as
    // text and not as a format.
    Subscriber alice;
    ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n");
    EXPECT_EQ(alice.line().rfind("227 ", 0), 0u);
    EXPECT_EQ(alice.line(), "226 " + std::string(1024, 'm') + "\r\n");
    EXPECT_EQ(alice.line(), ".|.\r\n");
    EXPECT_EQ(alice.line(), "230 %s%n%x $(touch " + pwned() + ")\r\n");
    EXPECT_EQ(alice.line(), "228 SessionID\r\n");
    alice.send("wrong");
    alice.expect_good_bye();
  }
  // A user name with quotes, a backslash and a back-quote; the longest the column keeps.
  expect_whole_login("127.0.0.24", kQuoted, 24);
  expect_whole_login("127.0.0.26", std::string(64, 'u'), 26);
  {
    // The name as it was before the column cut it matches nothing; the
    // failure row keeps the whole line.
    Subscriber s("127.0.0.26");
    EXPECT_EQ(s.login(std::string(10000, 'u'), "abcdefgh"), "224 Authentication failed.\r\n");
    s.expect_good_bye();
    EXPECT_EQ(count("SELECT LENGTH(user_line) FROM internet_vpn_auth_failures"), std::to_string(10000 * 4));
  }
  {
    // A bad MAC: the runner refuses to open the forwarding, the login ends
    // without a session row.
    Subscriber eve("127.0.0.25");
    ASSERT_EQ(eve.login("eve", "abcdefgh"), "222 Authentication accepted.\r\n");
    eve.expect_good_bye();
    EXPECT_FALSE(forwarded("127.0.0.25"));
    EXPECT_EQ(open_rows(25), "0");
    EXPECT_TRUE(wait_for_text(kAuthLog, "Could not execute wrapper to add client: 25 CODE:"));
    EXPECT_TRUE(wait_for_text(kRunnerLog, "Internet: row skipped, bad mac: 02:00:00:00:00:25 -exist\n"));
  }
  // The good accounts go on.
  expect_whole_login(kAlice, "alice", 21);
  EXPECT_EQ(daemon.wait_exit(1), -1) << "the daemon still runs";
}

// macwatch's workers read the settings joined with the internal networks'
// interfaces, and write what they learn.
TEST(HostileMacwatchRowsTest, BadInterfacesAndAddressesAreNotProbedAndTheGoodHostIsLearned) {
  require_private_netns();
  fs::remove(pwned());
  for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
  TestDatabase db;
  SubscriberLan lan;
  lan.add_host("h31", "10.1.2.31", "02:00:00:00:03:1F");
  // The workers take the rows ordered by address text: this host's comes last.
  lan.add_host("h99", "10.1.2.99", "02:00:00:00:03:63");
  const std::vector<std::string> devices = {"lan0;touch " + pwned(), "$(touch " + pwned() + ")", "lan0 ",
                                            std::string(10000, 'l')};
  const std::vector<std::string> addresses = {"10.1.2.40;touch " + pwned(), "10.1.2.41 ", "10.1.2.0/24",
                                              "10.1.2.042' OR '1'='1", std::string(10000, '1')};
  db.exec(
      "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.2.1');"
      "INSERT INTO internal_net (rid, net, host_min, host_max, gw, device) VALUES"
      " (1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'), '10.1.2.1', 'lan0');");
  int id = 31;
  auto add_setting = [&](const std::string& ip) {
    db.exec("INSERT INTO internet_clients (id, remote) VALUES (" + std::to_string(id) +
            ", 1);"
            "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (" +
            std::to_string(id) + "," + std::to_string(id) + ", 1, " + sql_text(ip) + ", '0', 1)");
    ++id;
  };
  add_setting("10.1.2.31");
  for (size_t i = 0; i < devices.size(); ++i) {
    std::string net = "10.0." + std::to_string(30 + i) + ".";
    db.exec("INSERT INTO internal_net (rid, net, host_min, host_max, gw, device) VALUES (1, '" + net +
            "0/24',"
            " INET_ATON('" +
            net + "1'), INET_ATON('" + net + "254'), '" + net + "1', " + sql_text(devices[i]) + ")");
    add_setting(net + "5");
  }
  for (const std::string& ip : addresses) add_setting(ip);
  const int last = id;
  add_setting("10.1.2.99");
  write_file("/zarn/conf/zarn-router.conf", db.config_lines() +
                                                "listenaddr 10.1.2.1\npath_iptables /usr/sbin/iptables\n"
                                                "path_modprobe /usr/sbin/modprobe\ninternal_eth lan0\n");
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);

  MacwatchWorkers macwatch;
  ASSERT_EQ(macwatch.pids().size(), 3u) << macwatch.output();
  auto mac_of_setting = [&](int setting) {
    return db.query("SELECT mac FROM internet_settings WHERE id = " + std::to_string(setting))[0][0];
  };
  EXPECT_TRUE(eventually([&] { return mac_of_setting(31) == "02:00:00:00:03:1F"; }, 30))
      << read_file("/zarn/logs/macwatch.log");
  EXPECT_TRUE(eventually(
      [&] {
        for (const std::string& m : set_members("src_10_1_2_0_24"))
          if (m == "10.1.2.31,02:00:00:00:03:1F") return true;
        return false;
      },
      10));
  // Both workers have passed every bad row once the last row is done.
  EXPECT_TRUE(eventually([&] { return mac_of_setting(last) == "02:00:00:00:03:63"; }, 30));
  EXPECT_TRUE(eventually(
      [&] { return db.query("SELECT hostup FROM internet_settings WHERE id = " + std::to_string(last))[0][0] == "1"; },
      30))
      << read_file("/zarn/logs/macwatch.log");
  for (int setting = 32; setting < last; ++setting) EXPECT_EQ(mac_of_setting(setting), "0") << "setting " << setting;
  EXPECT_TRUE(macwatch.all_alive()) << read_file("/zarn/logs/macwatch.log");
  EXPECT_FALSE(path_exists(pwned())) << "a stored text was run by a shell";
}

}  // namespace
