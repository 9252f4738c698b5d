// The login service on real parts: the installed daemon in the sandbox, the
// real runner and access module, the private database.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/auth_harness.h"
#include "zarn-auth/credentials.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

class AuthTest : public testing::Test {
 protected:
  void SetUp() override {
    require_private_netns();
    ASSERT_FALSE(scene_.forwarded(kAlice));
  }
  void write_config(const std::string& limits) { scene_.write_config(limits); }
  bool forwarded(const std::string& ip) { return scene_.forwarded(ip); }
  std::string log() { return scene_.log(); }
  std::string count(const std::string& sql) { return scene_.count(sql); }

  AuthScene scene_;
  TestDatabase& db_ = scene_.db();
};

TEST_F(AuthTest, StartUpLimitsAndIdentity) {
  struct Case {
    std::string limits;
    std::string message;
  };
  const std::string timeout_message = "client_timeout in the config shoud have a valut betewn 10 and 180 sec\n";
  const std::string ping_message = "ping_client_time in the config should have a value greater then 5 sec\n";
  const Case refused[] = {
      {"ping_client_time 5\nclient_timeout 9\n", timeout_message},
      {"ping_client_time 5\nclient_timeout 181\n", timeout_message},
      {"ping_client_time 5\n", timeout_message},
      {"ping_client_time 4\nclient_timeout 10\n", ping_message},
      {"client_timeout 10\n", ping_message},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.limits);
    write_config(c.limits);
    RunResult r = run({kAuth});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, c.message);
  }
  for (const char* limits : {"ping_client_time 5\nclient_timeout 180\n", "ping_client_time 5\nclient_timeout 10\n"}) {
    SCOPED_TRACE(limits);
    fs::remove(kAuthLog);
    write_config(limits);
    AuthDaemon daemon;
    EXPECT_TRUE(daemon.ready()) << daemon.output() << log();
  }
  // A login time limit out of range is said, and the service runs with the default.
  for (auto [line, complaint] : {std::pair{"login_timeout 9\n", true}, {"login_timeout 10\n", false}}) {
    SCOPED_TRACE(line);
    fs::remove(kAuthLog);
    write_config(std::string("ping_client_time 5\nclient_timeout 10\n") + line);
    AuthDaemon daemon;
    EXPECT_TRUE(daemon.ready()) << daemon.output() << log();
    EXPECT_EQ(log().find("login_timeout in the config should have a value between 10 and 600 seconds; using 60\n") !=
                  std::string::npos,
              complaint)
        << log();
  }

  // Sessions a killed daemon left open are closed before the first connection.
  fs::remove(kAuthLog);
  db_.exec(
      "INSERT INTO internet_vpn_log VALUES (NULL, 21, 'old', '127.0.0.21', NOW(), '0000-00-00 00:00:00', 1, 3),"
      " (NULL, 22, 'elsewhere', '10.0.0.1', NOW(), '0000-00-00 00:00:00', 1, 9)");
  {
    AuthDaemon daemon;
    ASSERT_TRUE(daemon.ready());
    EXPECT_EQ(count("SELECT GROUP_CONCAT(session) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'"),
              "elsewhere")
        << "only this router's rows";
  }
  db_.exec("UPDATE internet_routers SET `user` = 'somebody'");
  RunResult unknown = run({kAuth});
  EXPECT_EQ(unknown.output, "Error:Could not aquire my name.\n");
  db_.exec("UPDATE internet_routers SET `user` = 'zarn_test', id = 0");
  RunResult zero = run({kAuth});
  EXPECT_EQ(zero.output, "Error:Router ID cannot be 0.\n");
  EXPECT_NE(log().find("Error:Router ID cannot be 0.\n"), std::string::npos);
}

TEST_F(AuthTest, ALoginOpensTheForwardingAndTheKeepAliveEndsIt) {
  db_.exec(
      "INSERT INTO internet_vpn_messages VALUES"
      " (NULL, 0, 'maintenance tonight', NOW() - INTERVAL 1 DAY, NOW() + INTERVAL 1 DAY, 1),"
      " (NULL, 21, 'second message', NOW() - INTERVAL 1 DAY, NOW() + INTERVAL 1 DAY, 1),"
      " (NULL, 0, 'long gone', NOW() - INTERVAL 9 DAY, NOW() - INTERVAL 8 DAY, 1);"
      "INSERT INTO internet_vpn_url_messages VALUES"
      " (NULL, 0, 'http://expired.example/', NOW() - INTERVAL 9 DAY, NOW() - INTERVAL 8 DAY, 1),"
      " (NULL, 21, 'http://notice.example/21', NOW() - INTERVAL 1 DAY, NOW() + INTERVAL 1 DAY, 1);");
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.output();
  Subscriber alice;
  ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n") << log();
  std::string session_line = alice.line();
  ASSERT_EQ(session_line.rfind("227 ", 0), 0u) << session_line;
  std::string session = session_of(session_line);
  EXPECT_TRUE(forwarded(kAlice));
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_vpn_log WHERE cid = 21 AND session = '" + session +
                  "' AND remote_addr = '127.0.0.21' AND rid = 3 AND logout_date = '0000-00-00 00:00:00'"),
            "1");

  EXPECT_EQ(alice.line(), "226 maintenance tonight\r\n");
  EXPECT_EQ(alice.line(), ".|.\r\n");
  EXPECT_EQ(alice.line(), "230 http://notice.example/21\r\n");
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send(session);
  // The next probe comes after ping_client_time; a wrong answer ends the login.
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send("not-the-session");
  alice.expect_good_bye();
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Response does not match session.\n"));
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Connection to client ended.\n"));
  EXPECT_FALSE(forwarded(kAlice));
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'"), "0");
}

TEST_F(AuthTest, ASilentSubscriberIsRetriedAndALostOneLoggedOut) {
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready());
  Subscriber alice;
  ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n");
  std::string session_line = alice.line();
  std::string session = session_of(session_line);
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  // Silence for one receive time-out: the probe is sent again, then answered.
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send(session);
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Response was null retry [1] in progress.\n"));
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Conection restablished.\n"));
  EXPECT_TRUE(forwarded(kAlice));
  // The subscriber vanishes: the forwarding and the session row end.
  alice.reset();
  EXPECT_TRUE(wait_for_text(kAuthLog, "] Timeout received, reponse is null.\n", 30)) << log();
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Connection to client ended.\n", 30));
  EXPECT_FALSE(forwarded(kAlice));
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'"), "0");
}

TEST_F(AuthTest, RefusedLogins) {
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready());
  auto failures = [&](const std::string& reason) {
    return count("SELECT COUNT(*) FROM internet_vpn_auth_failures WHERE reason = " + reason);
  };
  {
    Subscriber s;
    EXPECT_EQ(s.login("alice", "wrong"), "224 Authentication failed.\r\n");
    s.expect_good_bye();
  }
  {
    Subscriber s("127.0.0.22");
    EXPECT_EQ(s.login("alice", "abcdefgh"), "224 Authentication failed.\r\n") << "right password, wrong address";
    s.expect_good_bye();
  }
  {
    Subscriber s;
    EXPECT_EQ(s.login("alice' or '1'='1", "abcdefgh"), "224 Authentication failed.\r\n");
    s.expect_good_bye();
  }
  EXPECT_EQ(failures("0"), "3");
  EXPECT_EQ(count("SELECT user_line FROM internet_vpn_auth_failures ORDER BY id LIMIT 1"), Encrypt("alice"))
      << "the line as it was received";
  {
    Subscriber s;
    EXPECT_EQ(s.login("alice", "abcdefgh", "10.99.0.1"), "229 Your network configuration is incorrect.\r\n");
    s.expect_good_bye();
  }
  EXPECT_EQ(failures("2"), "1");
  {
    Subscriber s("127.0.0.23");
    EXPECT_EQ(s.login("carol", "abcdefgh"), "229 Your account is deactivated/suspended.\r\n");
    s.expect_good_bye();
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_vpn_auth_failures"), "4") << "no failure row for a suspended account";
  db_.exec("UPDATE internet_settings SET active = 123 WHERE cid = 23");
  {
    Subscriber s("127.0.0.23");
    EXPECT_EQ(s.login("carol", "abcdefgh"), "222 Authentication accepted.\r\n") << "123 is paid with a notice";
    // A second connection from the same address while the session is open.
    EXPECT_EQ(s.line().rfind("227 ", 0), 0u);
    Subscriber again("127.0.0.23");
    EXPECT_EQ(again.line(), "229 Session already in progress. Retry in 10 seconds.\r\n");
    again.expect_good_bye();
  }
  db_.exec(
      "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES (21, 3, '127.0.0.21', '02:00:00:00:00:22', 1)");
  {
    Subscriber s;
    EXPECT_EQ(s.login("alice", "abcdefgh"), "224 Authentication failed.\r\n") << "two settings rows for one address";
  }
  EXPECT_FALSE(forwarded(kAlice));
}

TEST_F(AuthTest, TwoSignalsEndTheService) {
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready());
  Subscriber alice;
  ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n");
  std::string session_line = alice.line();
  std::string session = session_of(session_line);
  ASSERT_TRUE(forwarded(kAlice));

  daemon.signal_group(SIGINT);
  EXPECT_TRUE(wait_for_text(kAuthLog, "Term signal received.\n"));
  // The logged-in subscriber ends normally at its next probe.
  EXPECT_EQ(alice.line(), "228 SessionID\r\n");
  alice.send(session);
  alice.expect_good_bye();
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Connection to client ended.\n"));
  EXPECT_FALSE(forwarded(kAlice));
  // New connections get no dialogue any more.
  Subscriber late("127.0.0.22", 2);
  EXPECT_EQ(late.line(), "");
  EXPECT_EQ(daemon.wait_exit(1), -1) << "the listener waits for a second signal";
  daemon.signal_listener(SIGINT);
  EXPECT_EQ(daemon.wait_exit(), 0);
}

}  // namespace
