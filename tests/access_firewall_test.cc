// Building and resetting the router's firewall through the installed runner,
// checked against what the kernel holds.
#include <gtest/gtest.h>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

class FirewallTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
  }
  TestDatabase db_;
};

const char kFilterAfterStart[] =
    "*filter\n"
    ":INPUT DROP\n"
    ":FORWARD DROP\n"
    ":OUTPUT DROP\n"
    "-A INPUT -i lo -j ACCEPT\n"
    "-A INPUT -p icmp -j ACCEPT\n"
    "-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT\n"
    "-A INPUT -p tcp -m multiport --dports 53 -j ACCEPT\n"
    "-A INPUT -p udp -m multiport --dports 53 -j ACCEPT\n"
    "-A INPUT -i eth1 -p tcp -m multiport --dports 22 -j ACCEPT\n"
    "-A FORWARD -d 10.1.1.0/24 -j ACCEPT\n"
    "-A FORWARD -s 10.1.1.0/24 -m set --match-set src_10_1_1_0_24 src,src -j ACCEPT\n"
    "-A FORWARD -d 10.1.2.0/24 -j ACCEPT\n"
    "-A FORWARD -s 10.1.2.0/24 -m set --match-set src_10_1_2_0_24 src,src -j ACCEPT\n"
    "-A FORWARD -p tcp -m tcp --dport 25 -j DROP\n"
    "-A OUTPUT -o lo -j ACCEPT\n"
    "-A OUTPUT -s 10.1.1.0/24 -j ACCEPT\n"
    "-A OUTPUT -s 10.1.2.0/24 -j ACCEPT\n"
    "-A OUTPUT -s 10.1.1.1/32 -j ACCEPT\n"
    "COMMIT\n";

const char kMangleAfterStart[] =
    "*mangle\n"
    ":PREROUTING ACCEPT\n"
    ":INPUT ACCEPT\n"
    ":FORWARD ACCEPT\n"
    ":OUTPUT ACCEPT\n"
    ":POSTROUTING ACCEPT\n"
    ":unpaied_10_1_1 -\n"
    ":unpaied_10_1_2 -\n"
    "-A PREROUTING -s 10.1.1.0/24 -j unpaied_10_1_1\n"
    "-A PREROUTING -s 10.1.2.0/24 -j unpaied_10_1_2\n"
    "-A unpaied_10_1_1 -s 10.1.1.11/32 -p tcp -m multiport --dports 80 -j MARK --set-xmark 0x50/0xffffffff\n"
    "-A unpaied_10_1_1 -s 10.1.1.12/32 -p tcp -m multiport --dports 80 -j MARK --set-xmark 0x50/0xffffffff\n"
    "COMMIT\n";

TEST_F(FirewallTest, StartBuildsTheWholeLayoutFromTheDatabase) {
  write_file("/zarn/conf/router-ports", "# ports the router itself serves\n53|all|all\n22|tcp|eth1\n\n");
  write_file("/zarn/conf/router-iptables",
             "-A FORWARD -p tcp --dport 25 -j DROP\n"
             "-A NOSUCHCHAIN -j ACCEPT\n"
             "-A INPUT -p tcp --dport 99 -j ACCEPT # not this one\n"
             " -A INPUT -j DROP\n");
  // Two open gate logins: one with its session file, one without.
  db_.exec(
      "INSERT INTO internet_gate_log (cid, session, remote_addr) VALUES (4, 's1', '10.1.2.13'), (4, 's2', "
      "'10.1.1.99')");
  write_file("/zarn/auth_sessions/10.1.2.13", "s1;4;02:00:00:00:02:0D");
  write_file("/proc/sys/net/ipv4/ip_forward", "0");

  RunResult r = runner({"internet", "start", "1"});
  EXPECT_EQ(r.exit_status, 1) << r.output << read_file("/zarn/logs/gw-runner.log");

  EXPECT_EQ(saved_table("filter"), kFilterAfterStart);
  EXPECT_EQ(saved_table("mangle"), kMangleAfterStart);
  EXPECT_EQ(set_members("src_10_1_1_0_24"),
            (std::vector<std::string>{"10.1.1.10,02:00:00:00:01:0A", "10.1.1.11,02:00:00:00:01:0B"}));
  std::vector<std::string> second = set_members("src_10_1_2_0_24");
  ASSERT_EQ(second.size(), 1u) << "the gate client and the client without MAC stay out; the shared address once";
  EXPECT_EQ(second[0].rfind("10.1.2.50,", 0), 0u) << second[0];
  EXPECT_FALSE(set_exists("src_10_9_9_0_24")) << "another router's network";
  EXPECT_EQ(read_file("/proc/sys/net/ipv4/ip_forward"), "1\n");

  std::string log = read_file("/zarn/logs/gw-runner.log");
  EXPECT_NE(log.find("Error: Duplicate records of ips found.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Error-duplicate: 10.1.2.50 Nr of fuplicates: 2.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Internet: parameters are wrong or this rule is bad '-A NOSUCHCHAIN -j ACCEPT'\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("--dport 99"), std::string::npos) << "a rule with a comment is skipped";
  EXPECT_NE(log.find("Added all firewall rules. Probable errors: 1.\n"), std::string::npos) << log;
  EXPECT_NE(r.output.find("Error-duplicate: 10.1.2.50 Nr of fuplicates: 2.\n"), std::string::npos) << r.output;

  EXPECT_FALSE(path_exists("/zarn/auth_sessions/10.1.2.13"));
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00'")[0][0], "0");
}

TEST_F(FirewallTest, StopLeavesEmptyOpenTablesAndKeepsTheSets) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
  RunResult r = runner({"internet", "stop", "1"});
  EXPECT_EQ(r.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  EXPECT_EQ(saved_table("filter"), "*filter\n:INPUT ACCEPT\n:FORWARD ACCEPT\n:OUTPUT ACCEPT\nCOMMIT\n");
  EXPECT_EQ(
      saved_table("mangle"),
      "*mangle\n:PREROUTING ACCEPT\n:INPUT ACCEPT\n:FORWARD ACCEPT\n:OUTPUT ACCEPT\n:POSTROUTING ACCEPT\nCOMMIT\n");
  EXPECT_EQ(set_members("src_10_1_1_0_24").size(), 2u) << "sets survive a stop";
  EXPECT_EQ(read_file("/proc/sys/net/ipv4/ip_forward"), "1\n");

  // A start after a stop rebuilds the sets from nothing.
  db_.exec("UPDATE internet_settings SET active = 0 WHERE id = 1");
  ASSERT_EQ(runner({"internet", "restart", "1"}).exit_status, 1);
  EXPECT_EQ(set_members("src_10_1_1_0_24"), (std::vector<std::string>{"10.1.1.11,02:00:00:00:01:0B"}));
}

TEST_F(FirewallTest, ExtraRedirectPortsGoIntoEveryMark) {
  ASSERT_EQ(runner({"internet", "start", "1", "8080,8443"}).exit_status, 1);
  std::string mangle = saved_table("mangle");
  EXPECT_NE(mangle.find("-A unpaied_10_1_1 -s 10.1.1.12/32 -p tcp -m multiport --dports 80,8080,8443 -j MARK"),
            std::string::npos)
      << mangle;
}

}  // namespace
