// The database server restarted under the running daemons: zarn-router,
// zarn-auth with subscribers logged in, and macwatch's workers. The server is
// this test's own (the shared one serves the tests that run beside it).
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/auth_harness.h"
#include "tests/macwatch_workers.h"
#include "tests/private_db_server.h"
#include "tests/subscriber_lan.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

constexpr const char* kBob = "127.0.0.22";
constexpr const char* kLanHost = "10.1.2.31";
constexpr const char* kLanHostMac = "02:00:00:00:03:1F";
constexpr const char* kLateClient = "10.1.2.24";  // activated through the router after the restart
const std::string kOpenRows = "SELECT COUNT(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'";

bool member_of(const std::string& set, const std::string& ip) {
  for (const std::string& m : set_members(set))
    if (m.rfind(ip + ",", 0) == 0) return true;
  return false;
}

class DatabaseRestartTest : public testing::Test {
 protected:
  void SetUp() override {
    require_private_netns();
    for (const char* address : {kAlice, kBob, "127.0.0.23"})
      run({"/usr/sbin/ip", "addr", "add", std::string(address) + "/8", "dev", "lo"});
    for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
    // One router row serves the three daemons: zarn-router and macwatch find
    // it by its address, zarn-auth by its database user.
    db_.exec(std::string("INSERT INTO internet_routers (id, rname, ip, `user`, `password`) VALUES"
                         " (3, 'restart-router', '127.0.0.1', 'zarn_test', UNHEX('") +
             kRouterCipherHex +
             "'));"
             "INSERT INTO internal_net (rid, net, host_min, host_max, gw, device) VALUES"
             " (3, '127.0.0.0/24', INET_ATON('127.0.0.1'), INET_ATON('127.0.0.254'), '127.0.0.1', ''),"
             " (3, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'), '10.1.2.1', 'lan0');"
             "INSERT INTO internet_clients (id, remote) VALUES (21, 3), (22, 3), (24, 3), (31, 3);"
             "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES"
             " (21, 21, 3, '127.0.0.21', '02:00:00:00:00:21', 1), (22, 22, 3, '127.0.0.22', '02:00:00:00:00:22', 1),"
             " (24, 24, 3, '10.1.2.24', '02:00:00:00:00:24', 0), (31, 31, 3, '10.1.2.31', '0', 1);"
             // abcdefgh under routerkey
             "INSERT INTO internet_vpn (cid, `user`, pass) VALUES (21, 'alice', UNHEX('6592a29ddd2f0b6f')),"
             " (22, 'bob', UNHEX('6592a29ddd2f0b6f'));");
    write_file("/zarn/conf/zarn-auth.conf", "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\n" +
                                                db_.config_lines() + "ping_client_time 5\nclient_timeout 10\n");
    write_file("/zarn/conf/zarn-router.conf",
               "listenport " + std::to_string(kRouterPort) +
                   "\nlistenaddr 127.0.0.1\nmaster_server 127.0.0.1\n"
                   "crypt_key routerkey\npath_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\n"
                   "internal_eth lan0\n" +
                   db_.config_lines());
  }
  std::string count(const std::string& sql) { return db_.query(sql)[0][0]; }
  std::string auth_log() { return read_file(kAuthLog); }

  PrivateDbServer server_;
  TestDatabase db_{server_.dir()};
};

TEST_F(DatabaseRestartTest, TheDaemonsGoOnAfterTheServerIsBack) {
  SubscriberLan lan;
  Daemon router;
  ASSERT_TRUE(router.wait_ready()) << router.output() << read_file(kRouterLogPath);
  // The build forwarded the paid settings; the logins open their own.
  ASSERT_EQ(runner({"ZarnAuth", "21", "stop"}).exit_status, 1);
  ASSERT_EQ(runner({"ZarnAuth", "22", "stop"}).exit_status, 1);
  AuthDaemon auth;
  ASSERT_TRUE(auth.ready()) << auth.output();
  MacwatchWorkers macwatch;
  ASSERT_EQ(macwatch.pids().size(), 3u) << macwatch.output();

  Subscriber alice(kAlice), bob(kBob);
  ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n") << auth_log();
  std::string alice_session = session_of(alice.line());
  ASSERT_EQ(bob.login("bob", "abcdefgh"), "222 Authentication accepted.\r\n") << auth_log();
  std::string bob_session = session_of(bob.line());
  ASSERT_TRUE(member_of("src_127_0_0_0_24", kAlice) && member_of("src_127_0_0_0_24", kBob));
  ASSERT_EQ(count(kOpenRows), "2");

  // Down: the keep-alive needs no database and goes on; what needs it fails
  // as a failure and opens nothing.
  ASSERT_TRUE(server_.stop());
  {
    Subscriber carol("127.0.0.23");
    EXPECT_EQ(carol.line(), "232 Good Bye.\r\n") << "no dialogue without the session check";
  }
  {
    Peer master;
    ASSERT_EQ(master.login("zarn_test", "abcde"), "\f222 Authentication accepted.\r\n");
    EXPECT_EQ(master.exchange("client activate 24", "224 Failure.\r\n"), "224 Failure.\r\n");
  }
  EXPECT_FALSE(member_of("src_10_1_2_0_24", kLateClient));
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send(alice_session);
  EXPECT_EQ(bob.line(), "228 SessionID\r\n");
  bob.send(bob_session);
  ASSERT_TRUE(server_.start());
  db_.reconnect();

  // Back: the sessions go on, answered probe by probe.
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send(alice_session);
  EXPECT_TRUE(member_of("src_127_0_0_0_24", kAlice));
  EXPECT_EQ(count(kOpenRows), "2");

  // macwatch's finder writes a MAC address learned after the restart and has
  // the forwarding opened.
  lan.add_host("h31", kLanHost, kLanHostMac);
  EXPECT_TRUE(eventually([&] { return count("SELECT mac FROM internet_settings WHERE id = 31") == kLanHostMac; }, 40))
      << "mac of 10.1.2.31: " << count("SELECT mac FROM internet_settings WHERE id = 31") << "\n"
      << read_file("/zarn/logs/macwatch.log");
  EXPECT_TRUE(eventually([&] { return member_of("src_10_1_2_0_24", kLanHost); }, 10));
  EXPECT_TRUE(macwatch.all_alive());
  EXPECT_NE(read_file("/zarn/logs/macwatch.log").find("Reconnect after error Ok.\n"), std::string::npos)
      << "the workers' connections were not repaired:\n"
      << read_file("/zarn/logs/macwatch.log");

  // zarn-router serves a command whose runner reads the database.
  {
    Peer master;
    ASSERT_EQ(master.login("zarn_test", "abcde"), "\f222 Authentication accepted.\r\n");
    EXPECT_FALSE(member_of("src_10_1_2_0_24", kLateClient));
    EXPECT_EQ(master.exchange("client activate 24", "222 Success.\r\n"), "222 Success.\r\n")
        << read_file(kRouterLogPath) << read_file("/zarn/logs/gw-runner.log");
    EXPECT_TRUE(member_of("src_10_1_2_0_24", kLateClient));
  }

  // Ending a login after the restart closes the forwarding and the row
  // together: alice by a wrong answer, bob by vanishing.
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send("not-the-session");
  alice.expect_good_bye();
  bob.reset();
  EXPECT_TRUE(
      eventually([&] { return !member_of("src_127_0_0_0_24", kAlice) && !member_of("src_127_0_0_0_24", kBob); }, 30))
      << auth_log();
  EXPECT_TRUE(eventually([&] { return count(kOpenRows) == "0"; }, 10))
      << "open session rows: " << count(kOpenRows) << "\n"
      << auth_log();
  EXPECT_NE(auth_log().find("Reconnect after error Ok.\n"), std::string::npos)
      << "the subscriber processes' connections were not repaired:\n"
      << auth_log();

  // A new login after the restart works end to end.
  Subscriber again(kAlice);
  ASSERT_EQ(again.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n") << auth_log();
  EXPECT_EQ(again.line().rfind("227 ", 0), 0u);
  EXPECT_TRUE(member_of("src_127_0_0_0_24", kAlice));
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_vpn_log WHERE cid = 21 AND logout_date = '0000-00-00 00:00:00'"), "1");
}

}  // namespace
