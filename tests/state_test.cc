// zarn-state on the real kernel: verify right after a build, each kind of
// drift reported with its reason, and repair through the access module.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

using Members = std::vector<std::string>;

constexpr const char* kState = "/zarn/bin/zarn-state";
constexpr const char* kFirstSet = "src_10_1_1_0_24";
constexpr const char* kSecondSet = "src_10_1_2_0_24";

RunResult ipset(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/sbin/ipset"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

RunResult iptables(const std::string& line) {
  std::vector<std::string> argv{"/usr/sbin/iptables-legacy"};
  std::istringstream words(line);
  for (std::string w; words >> w;) argv.push_back(w);
  return run(argv);
}

std::string mark_rule(const std::string& action, const std::string& chain, const std::string& ip) {
  return "-t mangle " + action + " " + chain + " -s " + ip + " -m multiport -p tcp --dports 80 -j MARK --set-mark 80";
}

// Lines of the mangle table with their counters.
std::string mangle_with_counters() { return run({"/usr/sbin/iptables-legacy-save", "-c", "-t", "mangle"}).output; }

class StateTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines() + "listenaddr 10.1.1.1\n");
    RunResult start = runner({"internet", "start", "1"});
    ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  }
  RunResult state(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kState};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
  }
  // Runs verify, expects differences and each of `lines` among them; gives the output.
  std::string verify_showing(std::initializer_list<const char*> lines) {
    RunResult v = state({"verify"});
    EXPECT_EQ(v.exit_status, 1) << v.output;
    for (const char* line : lines)
      EXPECT_NE(v.output.find(line), std::string::npos) << "expected " << line << "in:\n" << v.output;
    return v.output;
  }
  // Runs verify and expects it clean.
  void expect_clean(const std::string& when) {
    RunResult v = state({"verify"});
    EXPECT_EQ(v.exit_status, 0) << when << ": expected no difference, saw:\n" << v.output;
  }
  TestDatabase db_;
};

TEST_F(StateTest, CleanRightAfterStartInBothForms) {
  RunResult text = state({"verify"});
  EXPECT_EQ(text.exit_status, 0) << text.output;
  EXPECT_EQ(text.output, "");
  RunResult json = state({"verify", "--json"});
  EXPECT_EQ(json.exit_status, 0) << json.output;
  EXPECT_EQ(json.output, "{\"router\":1,\"differences\":[],\"logged_out\":[]}\n");
}

TEST_F(StateTest, EachDriftReportedWithItsReasonAndRepairedKeepingCounters) {
  // The first mark rule of 10.1.1.12 gets counters that a rewrite would lose.
  ASSERT_EQ(iptables("-t mangle -R unpaied_10_1_1 2 -s 10.1.1.12 -m multiport -p tcp --dports 80 -j MARK "
                     "--set-mark 80 -c 7 700")
                .exit_status,
            0)
      << mangle_with_counters();
  ASSERT_EQ(ipset({"del", kFirstSet, "10.1.1.10"}).exit_status, 0);
  ASSERT_EQ(ipset({"add", kFirstSet, "10.1.1.12,02:00:00:00:01:0C"}).exit_status, 0);
  ASSERT_EQ(ipset({"del", kSecondSet, "10.1.2.50"}).exit_status, 0);
  ASSERT_EQ(ipset({"add", kSecondSet, "10.1.2.50,02:00:00:00:02:99"}).exit_status, 0);
  ASSERT_EQ(ipset({"add", kSecondSet, "10.1.2.13,02:00:00:00:02:0D"}).exit_status, 0);
  ASSERT_EQ(ipset({"add", kSecondSet, "10.1.2.77,02:00:00:00:02:77"}).exit_status, 0);
  ASSERT_EQ(iptables(mark_rule("-A", "unpaied_10_1_1", "10.1.1.12")).exit_status, 0);
  ASSERT_EQ(iptables(mark_rule("-A", "unpaied_10_1_1", "10.1.1.10")).exit_status, 0);
  ASSERT_EQ(iptables(mark_rule("-D", "unpaied_10_1_1", "10.1.1.11")).exit_status, 0);

  RunResult v = state({"verify"});
  EXPECT_EQ(v.exit_status, 1) << v.output;
  const char* expected[] = {
      "forwarding missing: 10.1.1.10 mac 02:00:00:00:01:0A\n",
      "wrong MAC: 10.1.2.50 mac ",  // which of the two clients sharing it the query gives
      "forwarding stale: not paid: 10.1.1.12 kernel 02:00:00:00:01:0C\n",
      "forwarding stale: gate client not logged in: 10.1.2.13 kernel 02:00:00:00:02:0D\n",
      "forwarding stale: client gone: 10.1.2.77 kernel 02:00:00:00:02:77\n",
      "mark missing: 10.1.1.11\n",
      "mark stale: 10.1.1.10 in unpaied_10_1_1 rule 3\n",
      "mark duplicated: 10.1.1.12 in unpaied_10_1_1 rule 2\n",
  };
  for (const char* line : expected)
    EXPECT_NE(v.output.find(line), std::string::npos) << "expected " << line << "in:\n" << v.output;
  EXPECT_EQ(std::count(v.output.begin(), v.output.end(), '\n'), 8) << v.output;

  RunResult r = state({"repair"});
  EXPECT_EQ(r.exit_status, 0) << r.output << read_file("/zarn/logs/zarn-state.log");
  expect_clean("after repair");
  EXPECT_EQ(set_members(kFirstSet), (Members{"10.1.1.10,02:00:00:00:01:0A", "10.1.1.11,02:00:00:00:01:0B"}));
  std::string mangle = mangle_with_counters();
  EXPECT_NE(mangle.find("[7:700] -A unpaied_10_1_1 -s 10.1.1.12/32"), std::string::npos)
      << "the rule that was right keeps its counters:\n"
      << mangle;
  std::string log = read_file("/zarn/logs/zarn-state.log");
  EXPECT_NE(log.find("zarn-state: fixed mark duplicated: 10.1.1.12 rule 2 of unpaied_10_1_1\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("zarn-state: fixed forwarding missing: 10.1.1.10 02:00:00:00:01:0A\n"), std::string::npos) << log;
}

TEST_F(StateTest, DatabaseChangesAreDifferencesUntilRepaired) {
  db_.exec("UPDATE internet_settings SET active = 0 WHERE id = 1");
  db_.exec("DELETE FROM internet_settings WHERE id = 2");
  RunResult v = state({"verify", "--json"});
  EXPECT_EQ(v.exit_status, 1) << v.output;
  for (const char* part : {"{\"reason\":\"forwarding stale: not paid\",\"address\":\"10.1.1.10\"",
                           "{\"reason\":\"mark missing\",\"address\":\"10.1.1.10\"",
                           "{\"reason\":\"forwarding stale: client gone\",\"address\":\"10.1.1.11\"",
                           "{\"reason\":\"mark stale\",\"address\":\"10.1.1.11\""})
    EXPECT_NE(v.output.find(part), std::string::npos) << "expected " << part << " in:\n" << v.output;
  EXPECT_EQ(state({"repair"}).exit_status, 0) << read_file("/zarn/logs/zarn-state.log");
  expect_clean("after repair");
  EXPECT_EQ(set_members(kFirstSet), Members{});
}

TEST_F(StateTest, LoginsStayOpenAndALoggedOutClientIsNotOpened) {
  // Client 4 logs in at the gate; client 1 has a login account and is logged
  // out; client 2 has one and is logged in.
  db_.exec(
      "INSERT INTO internet_gate_log (cid, session, remote_addr, mac) VALUES (4, 's4', '10.1.2.13', "
      "'02:00:00:00:02:0D')");
  db_.exec("INSERT INTO internet_vpn (cid, user, pass) VALUES (1, 'one', 'x'), (2, 'two', 'y')");
  db_.exec("INSERT INTO internet_vpn_log (cid, session, remote_addr, rid) VALUES (2, 'abcdef0123', '10.1.1.11', 1)");
  ASSERT_EQ(ipset({"del", kFirstSet, "10.1.1.10"}).exit_status, 0) << "client 1 logged out";
  ASSERT_EQ(ipset({"del", kFirstSet, "10.1.1.11"}).exit_status, 0) << "client 2 lost its entry";

  RunResult v = state({"verify"});
  EXPECT_EQ(v.exit_status, 1) << v.output;
  EXPECT_EQ(v.output,
            "forwarding missing: 10.1.1.11 mac 02:00:00:00:01:0B\n"
            "forwarding missing: 10.1.2.13 mac 02:00:00:00:02:0D\n"
            "Logged out login clients (not differences):\n"
            "  10.1.1.10 mac 02:00:00:00:01:0A client 1\n");
  EXPECT_EQ(state({"repair"}).exit_status, 0) << read_file("/zarn/logs/zarn-state.log");
  expect_clean("after repair");
  EXPECT_EQ(set_members(kFirstSet), Members{"10.1.1.11,02:00:00:00:01:0B"}) << "the logged-out client stays closed";
  EXPECT_EQ(set_members(kSecondSet), (Members{"10.1.2.13,02:00:00:00:02:0D", "10.1.2.50,02:00:00:00:02:32"}));
  EXPECT_EQ(db_.query("SELECT count(*) FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00'")[0][0], "1");
  EXPECT_EQ(db_.query("SELECT count(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'")[0][0], "1");
}

TEST_F(StateTest, MissingChainIsReportedAndLeftToAFullStart) {
  ASSERT_EQ(iptables("-t mangle -F unpaied_10_1_2").exit_status, 0);
  ASSERT_EQ(iptables("-t mangle -D PREROUTING -s 10.1.2.0/24 -j unpaied_10_1_2").exit_status, 0);
  ASSERT_EQ(iptables("-t mangle -X unpaied_10_1_2").exit_status, 0);
  std::string before = saved_table("mangle");
  RunResult v = state({"verify"});
  EXPECT_EQ(v.exit_status, 1);
  EXPECT_EQ(v.output, "chain missing: in unpaied_10_1_2\n");
  RunResult r = state({"repair"});
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_NE(r.output.find("run a full start"), std::string::npos) << r.output;
  EXPECT_EQ(saved_table("mangle"), before) << "repair does not build chains";
}

// Sorted "ADDRESS,MAC" members of both sets of router 1.
Members both_sets() {
  Members all = set_members(kFirstSet);
  Members second = set_members(kSecondSet);
  all.insert(all.end(), second.begin(), second.end());
  std::sort(all.begin(), all.end());
  return all;
}

// Addresses of the mark rules in the mangle table, one per rule, sorted.
Members mark_addresses() {
  Members out;
  std::istringstream lines(saved_table("mangle"));
  static const std::regex mark("^-A unpaied_[0-9_]+ -s ([0-9.]+)/32 .*-j MARK.*");
  std::smatch m;
  for (std::string line; std::getline(lines, line);)
    if (std::regex_match(line, m, mark)) out.push_back(m[1]);
  std::sort(out.begin(), out.end());
  return out;
}

Members lines_of(const std::string& text) {
  Members out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

TEST_F(StateTest, StatusJsonParsesAndAgreesWithTheKernel) {
  db_.exec(
      "INSERT INTO internet_gate_log (cid, session, remote_addr, mac) VALUES (4, 's4', '10.1.2.13', "
      "'02:00:00:00:02:0D')");
  ASSERT_EQ(iptables(mark_rule("-A", "unpaied_10_1_1", "10.1.1.12")).exit_status, 0) << "a duplicate mark";
  // An independent parser reads the JSON and prints what it says the kernel
  // holds (an address shared by two settings shows in both rows).
  const char* script =
      "import json,sys\n"
      "s=json.load(sys.stdin)\n"
      "f=sorted(set(r['address']+','+m for r in s['settings'] for m in r['kernel_macs'] if r['forwarded']))\n"
      "k=sorted(r['address'] for r in s['settings'] for i in range(r['marks']))\n"
      "print('|'.join(f)); print('|'.join(k))\n"
      "for n in s['networks']: print(n['net'], n['settings'], n['forwarded'], n['marks'])\n"
      "print(s['router'], [r['gate'] for r in s['settings'] if r['address']=='10.1.2.13'])\n";
  write_file("/tmp/status.py", script);
  RunResult r = run({"/bin/sh", "-c", std::string(kState) + " status --json | /usr/bin/python3 /tmp/status.py"});
  ASSERT_EQ(r.exit_status, 0) << r.output;
  Members got = lines_of(r.output);
  ASSERT_EQ(got.size(), 5u) << r.output;
  std::string forwarded, marks;
  for (const std::string& m : both_sets()) forwarded += (forwarded.empty() ? "" : "|") + m;
  for (const std::string& a : mark_addresses()) marks += (marks.empty() ? "" : "|") + a;
  EXPECT_EQ(got[0], forwarded) << "forwarded settings against ipset list";
  EXPECT_EQ(got[1], marks) << "mark rules against iptables-legacy-save";
  EXPECT_EQ(got[1], "10.1.1.11|10.1.1.12|10.1.1.12");
  EXPECT_EQ(got[2], "10.1.1.0/24 3 2 3");
  EXPECT_EQ(got[3], "10.1.2.0/24 4 1 0") << "10.1.2.50 is one entry for two settings";
  EXPECT_EQ(got[4], "1 ['open']");
}

TEST_F(StateTest, MetricsCountTheKernelAndTheDifferences) {
  ASSERT_EQ(ipset({"del", kFirstSet, "10.1.1.10"}).exit_status, 0);
  RunResult m = state({"metrics"});
  ASSERT_EQ(m.exit_status, 0) << m.output;
  for (const char* line :
       {"zarn_state_forwarded_clients{router=\"1\",network=\"10.1.1.0/24\"} 1\n",
        "zarn_state_marks{router=\"1\",network=\"10.1.1.0/24\"} 2\n",
        "zarn_state_differences{router=\"1\",reason=\"forwarding missing\"} 1\n",
        "zarn_state_differences{router=\"1\",reason=\"mark stale\"} 0\n", "# TYPE zarn_state_open_sessions gauge\n"})
    EXPECT_NE(m.output.find(line), std::string::npos) << "expected " << line << "in:\n" << m.output;
}

RunResult tc(const std::string& line) {
  std::vector<std::string> argv{"/usr/sbin/tc"};
  std::istringstream words(line);
  for (std::string w; words >> w;) argv.push_back(w);
  return run(argv);
}

// The router with a shaped device: clients 1 and 2 have classes 1:21/1:22 and 1:23/1:24.
class ShapingStateTest : public StateTest {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines() + "listenaddr 10.1.1.1\n");
    RunResult veth = run({"/usr/sbin/ip", "link", "add", "name", "zs0", "type", "veth", "peer", "name", "zs0p"});
    ASSERT_EQ(veth.exit_status, 0) << veth.output;
    ASSERT_EQ(run({"/usr/sbin/ip", "link", "set", "zs0", "up"}).exit_status, 0);
    db_.exec(
        "INSERT INTO routers_devices (rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`, "
        "active)"
        " VALUES (1, 'zs0', 1, 2, '100Mbit', '10Mbit', 1, 1)");
    db_.exec(
        "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate, in_extern_ceil,"
        " metro_class, extern_class) VALUES (1, 2048, 4096, 512, 1024, 1, 2), (2, 1024, 1024, 256, 512, 3, 4)");
    RunResult start = runner({"internet", "start", "1"});
    ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  }
};

TEST_F(ShapingStateTest, CleanAfterStartThenEachShapingDriftRepaired) {
  expect_clean("right after the start with shaping");
  ASSERT_EQ(tc("class change dev zs0 parent 1:10 classid 1:21 htb rate 1Mbit ceil 4Mbit").exit_status, 0);
  ASSERT_EQ(
      tc("filter add dev zs0 protocol ip pref 10 parent 1:10 u32 match ip dst 10.1.1.99 classid 1:0x21").exit_status,
      0);
  db_.exec(
      "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate, in_extern_ceil,"
      " metro_class, extern_class) VALUES (3, 512, 512, 128, 128, 5, 6)");
  std::string shown =
      verify_showing({"class wrong rate: in zs0 class 1:21 parent 1:10 rate 125000 ceil 500000 should be 250000 ceil "
                      "500000 bytes/s client 1 address 10.1.1.10\n",
                      "filter stale: 10.1.1.99 in zs0 parent 1:10 dst flowid 1:21 client 1 address 10.1.1.10\n",
                      "class missing: in zs0 class 1:25 parent 1:10 client 3 address 10.1.1.12\n",
                      "class missing: in zs0 class 1:26 parent 1:20 client 3 address 10.1.1.12\n",
                      "filter missing: 10.1.1.12 in zs0 parent 1:10 dst flowid 1:25 client 3 address 10.1.1.12\n",
                      "filter missing: 10.1.1.12 in zs0 parent 1:20 dst flowid 1:26 client 3 address 10.1.1.12\n"});
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 6) << shown;

  RunResult r = state({"repair"});
  EXPECT_EQ(r.exit_status, 0) << r.output << read_file("/zarn/logs/zarn-state.log");
  expect_clean("after the shaping repair");
  std::string classes = tc("class show dev zs0").output;
  EXPECT_NE(classes.find("class htb 1:25 parent 1:10"), std::string::npos) << classes;
  RunResult m = state({"metrics"});
  EXPECT_NE(m.output.find("zarn_state_shaping_classes{router=\"1\"} 6\n"), std::string::npos) << m.output;
}

TEST_F(ShapingStateTest, EveryShapingDifferenceNamesItsClient) {
  // Client 1 gets a second address; a filter of client 2's address goes to a
  // class that no client has; another such class has no filter at all.
  db_.exec("INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (9, 1, 1, '10.1.1.20', '0', 1)");
  ASSERT_EQ(tc("class add dev zs0 parent 1:10 classid 1:30 htb rate 1Mbit").exit_status, 0);
  ASSERT_EQ(
      tc("filter add dev zs0 protocol ip pref 10 parent 1:10 u32 match ip dst 10.1.1.11 classid 1:0x30").exit_status,
      0);
  ASSERT_EQ(tc("class add dev zs0 parent 1:20 classid 1:31 htb rate 1Mbit").exit_status, 0);

  std::string shown =
      verify_showing({"filter missing: 10.1.1.20 in zs0 parent 1:10 dst flowid 1:21 client 1 address "
                      "10.1.1.10,10.1.1.20\n",
                      "class stale: in zs0 class 1:30 parent 1:10 client 2 address 10.1.1.11\n",
                      "filter stale: 10.1.1.11 in zs0 dst flowid 1:30 client 2 address 10.1.1.11\n",
                      "class stale: in zs0 class 1:31 parent 1:20 client none\n"});
  // Every shaping line names a client, or says that there is none.
  std::istringstream lines(shown);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("class ", 0) == 0 || line.rfind("filter ", 0) == 0) {
      EXPECT_TRUE(std::regex_search(line, std::regex(" client ([0-9]+ address [0-9.,]+|none)$"))) << line;
    }
  }

  RunResult json = state({"verify", "--json"});
  EXPECT_NE(json.output.find("{\"reason\":\"class stale\",\"address\":\"\",\"mac\":\"\",\"kernel_mac\":\"\","
                             "\"object\":\"zs0 class 1:30 parent 1:10\",\"rules\":[],\"client\":2,"
                             "\"client_addresses\":[\"10.1.1.11\"]}"),
            std::string::npos)
      << json.output;
  EXPECT_NE(json.output.find("\"object\":\"zs0 class 1:31 parent 1:20\",\"rules\":[],\"client\":null,"
                             "\"client_addresses\":[]}"),
            std::string::npos)
      << json.output;
  EXPECT_NE(json.output.find("\"client\":1,\"client_addresses\":[\"10.1.1.10\",\"10.1.1.20\"]}"), std::string::npos)
      << json.output;
}

TEST_F(ShapingStateTest, StatusShowsTheClassesTheKernelSendsEachAddressTo) {
  write_file("/tmp/shaping.py",
             "import json,sys\n"
             "for r in json.load(sys.stdin)['settings']:\n"
             "  for c in sorted(r['shaping'], key=lambda c: c['class']):\n"
             "    print(r['address'], c['device'], c['class'], c['parent'], c['rate'], c['ceil'])\n");
  RunResult r = run({"/bin/sh", "-c", std::string(kState) + " status --json | /usr/bin/python3 /tmp/shaping.py"});
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.output,
            "10.1.1.10 zs0 1:21 1:10 250000 500000\n"
            "10.1.1.10 zs0 1:22 1:20 64000 125000\n"
            "10.1.1.11 zs0 1:23 1:10 125000 125000\n"
            "10.1.1.11 zs0 1:24 1:20 32000 64000\n");
  std::string classes = tc("class show dev zs0").output;
  for (const char* line : {"class htb 1:21 parent 1:10 prio 2 rate 2Mbit ceil 4Mbit",
                           "class htb 1:22 parent 1:20 prio 2 rate 512Kbit ceil 1Mbit",
                           "class htb 1:23 parent 1:10 prio 2 rate 1Mbit ceil 1Mbit",
                           "class htb 1:24 parent 1:20 prio 2 rate 256Kbit ceil 512Kbit"})
    EXPECT_NE(classes.find(line), std::string::npos) << "tc should agree: " << line << " in\n" << classes;
  RunResult text = state({"status"});
  EXPECT_NE(text.output.find(" hostup 0 shaping zs0/1:21,zs0/1:22\n"), std::string::npos) << text.output;
}

// The statements that the finished connections of `user` ran (the server's user statistics).
long statements_of(TestDatabase& db, const std::string& user) {
  Rows r = db.query(
      "SELECT SELECT_COMMANDS + UPDATE_COMMANDS + OTHER_COMMANDS FROM information_schema.USER_STATISTICS WHERE USER = "
      "'" +
      user + "'");
  return r.empty() ? 0 : std::stol(r[0][0]);
}

// Verify wants what the rebuild makes: not the rows it skips for their class
// numbers, and it reads the router's shaping in the same few queries whatever
// the number of clients.
TEST_F(ShapingStateTest, VerifyWantsWhatTheRebuildMakesInReadsThatDoNotGrow) {
  db_.exec(
      "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate, in_extern_ceil,"
      " metro_class, extern_class) VALUES (3, 512, 512, 128, 128, 0, 9), (6, 512, 512, 128, 128, 1, 10)");
  const std::string user = "zarn_count_" + db_.name();
  db_.exec("CREATE USER '" + user + "'@'localhost' IDENTIFIED BY 'count'");
  db_.exec("GRANT ALL ON `" + db_.name() + "`.* TO '" + user + "'@'localhost'");
  db_.exec("SET GLOBAL userstat = 1");
  write_file("/zarn/conf/zarn-router.conf", db_.config_lines_for(user, "count") + "listenaddr 10.1.1.1\n");
  // A start as the module does it, then verify; the statements of verify alone.
  auto verify_reads = [&](const char* when, long* reads) {
    ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
    const long before = statements_of(db_, user);
    expect_clean(when);
    *reads = statements_of(db_, user) - before;
  };
  long reads = 0, more_reads = 0;
  verify_reads("with rows the rebuild skips", &reads);
  std::string clients = "INSERT INTO internet_clients (id, remote) VALUES (50, 1)";
  std::string settings =
      "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (50, 50, 1, '10.1.2.150', "
      "'02:00:00:00:02:96', 1)";
  std::string restrictions =
      "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate, in_extern_ceil,"
      " metro_class, extern_class) VALUES (50, 512, 512, 128, 128, 100, 101)";
  for (int cid = 51; cid < 90; ++cid) {
    const std::string id = std::to_string(cid);
    char mac[20];
    std::snprintf(mac, sizeof mac, "02:00:00:00:02:%02X", cid + 100);
    clients += ", (" + id + ", 1)";
    settings += ", (" + id + ", " + id + ", 1, '10.1.2." + std::to_string(cid + 100) + "', '" + mac + "', 1)";
    restrictions +=
        ", (" + id + ", 512, 512, 128, 128, " + std::to_string(2 * cid) + ", " + std::to_string(2 * cid + 1) + ")";
  }
  db_.exec(clients);
  db_.exec(settings);
  db_.exec(restrictions);
  verify_reads("with 40 clients more", &more_reads);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(more_reads, reads);
  db_.exec("DROP USER '" + user + "'@'localhost'");
}

TEST_F(StateTest, ErrorsEndWithStatusTwo) {
  write_file("/zarn/conf/zarn-router.conf", db_.config_lines() + "listenaddr 10.7.7.7\n");
  RunResult v = state({"verify"});
  EXPECT_EQ(v.exit_status, 2) << v.output;
  EXPECT_NE(v.output.find("no router with address 10.7.7.7"), std::string::npos) << v.output;
  EXPECT_EQ(state({"frobnicate"}).exit_status, 2);
}

TEST_F(StateTest, NoticePortsAreUsedForNewMarksAndMustBeAPortList) {
  ASSERT_EQ(iptables(mark_rule("-D", "unpaied_10_1_1", "10.1.1.12")).exit_status, 0);
  write_file("/zarn/conf/zarn-notifier.conf", "other_ports 8080 -j ACCEPT\n");
  std::string before = saved_table("mangle");
  RunResult refused = state({"repair"});
  EXPECT_EQ(refused.exit_status, 2) << refused.output;
  EXPECT_NE(refused.output.find("is not a port list"), std::string::npos) << refused.output;
  EXPECT_EQ(saved_table("mangle"), before) << "nothing is changed with a bad port list";
  // Words of digits, commas and colons that a start would not take either:
  // more ports than the match holds beside 80, a range of three, no number.
  for (const char* ports : {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", "1:2:3", "8080,,8443", "99999"}) {
    write_file("/zarn/conf/zarn-notifier.conf", std::string("other_ports ") + ports + "\n");
    RunResult r = state({"repair"});
    EXPECT_EQ(r.exit_status, 2) << ports << ": " << r.output;
    EXPECT_NE(r.output.find("is not a port list"), std::string::npos) << r.output;
    EXPECT_EQ(saved_table("mangle"), before) << ports;
  }
  write_file("/zarn/conf/zarn-notifier.conf", "other_ports 8080,8443\n");
  RunResult r = state({"repair"});
  EXPECT_EQ(r.exit_status, 0) << r.output << read_file("/zarn/logs/zarn-state.log");
  std::string mangle = saved_table("mangle");
  EXPECT_NE(mangle.find("-A unpaied_10_1_1 -s 10.1.1.12/32 -p tcp -m multiport --dports 80,8080,8443 -j MARK"),
            std::string::npos)
      << mangle;
  expect_clean("after the mark was added with the notice ports");
}

}  // namespace
