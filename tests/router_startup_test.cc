// Start-up of the router control daemon: each way it refuses to start, the
// detaching, the firewall built before the port opens, and the process titles.
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/router_harness.h"

namespace fs = std::filesystem;
using namespace zarn_test;

namespace {

// Starts the daemon to its end; `timeout` stops one that would not end.
RunResult start_to_end(const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = {"/usr/bin/timeout", "20"};
  argv.insert(argv.end(), prefix.begin(), prefix.end());
  argv.push_back(kDaemonPath);
  return run(argv);
}

// The common scene; each test starts the daemon its own way.
class RouterStartupTest : public testing::Test {
 protected:
  RouterScene scene_;
};

TEST_F(RouterStartupTest, WithoutTheRouterFileItEndsSilently) {
  fs::remove("/zarn/conf/zarn-router.conf");
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(scene_.log(), "");
  EXPECT_EQ(scene_.calls(), "") << "no firewall without settings";
}

TEST_F(RouterStartupTest, WithoutTheDatabaseItEnds) {
  scene_.write_config("mysql_sock /nonexistent/mysql.sock\n");
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(scene_.log().find("Connection failed for host: localhost"), std::string::npos) << scene_.log();
  EXPECT_EQ(scene_.log().find("ready for connections"), std::string::npos);
}

TEST_F(RouterStartupTest, ARouterThatIsNotRegisteredEnds) {
  scene_.write_config("listenaddr 127.0.0.9\n");
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "Error:Could not aquire my name.\n");
  EXPECT_EQ(scene_.log(), "Zarn-Notifier config was not found.\nError:Could not aquire my name.\n");

  // No listenaddr at all: nothing to look the router up by.
  fs::remove(kRouterLogPath);
  std::string config = read_file("/zarn/conf/zarn-router.conf");
  write_file("/zarn/conf/zarn-router.conf", config.substr(config.find("master_server")));
  r = start_to_end();
  EXPECT_EQ(r.output, "Error:Could not aquire my name.\n");
  EXPECT_EQ(scene_.calls(), "");
}

TEST_F(RouterStartupTest, AnAddressWithQuotesIsNotSql) {
  scene_.write_config("listenaddr x' or '1'='1\n");
  RunResult r = start_to_end();
  EXPECT_EQ(r.output, "Error:Could not aquire my name.\n") << "the address must be escaped, not run as SQL";
}

TEST_F(RouterStartupTest, RouterIdZeroEnds) {
  scene_.db().exec("SET SESSION sql_mode = 'NO_AUTO_VALUE_ON_ZERO'; UPDATE internet_routers SET id = 0");
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "Error:Router ID cannot be 0.\n");
  EXPECT_NE(scene_.log().find("Error:Router ID cannot be 0.\n"), std::string::npos);
}

TEST_F(RouterStartupTest, AnEmptyUserOrPasswordEnds) {
  scene_.db().exec("UPDATE internet_routers SET `password` = ''");
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "I cannot run without a user and password.\n");
  scene_.db().exec("UPDATE internet_routers SET `password` = UNHEX('00'), `user` = 'demo'");
  EXPECT_EQ(start_to_end().output, "I cannot run without a user and password.\n")
      << "a stored password is read up to its first zero byte";
  scene_.db().exec("UPDATE internet_routers SET `password` = 'x', `user` = ''");
  EXPECT_EQ(start_to_end().output, "I cannot run without a user and password.\n");
  EXPECT_EQ(scene_.calls(), "") << "no firewall for a router that cannot serve";
}

TEST_F(RouterStartupTest, WithoutAPortItStopsAfterSayingWhy) {
  std::string config = read_file("/zarn/conf/zarn-router.conf");
  write_file("/zarn/conf/zarn-router.conf", config.substr(config.find('\n') + 1));
  RunResult r = start_to_end();
  EXPECT_EQ(r.exit_status, 0) << "must stop, not accept on an invalid socket";
  EXPECT_NE(scene_.log().find("Error: No port in config file\nError: No listening socket (-2), stopping.\n"),
            std::string::npos)
      << scene_.log();
}

TEST_F(RouterStartupTest, AnAccountOtherThanZarnCannotStartIt) {
  RunResult r = start_to_end({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  EXPECT_EQ(r.exit_status, 0);
  const passwd* zarn = getpwnam("zarn");
  ASSERT_NE(zarn, nullptr);
  std::string expected = "Cannot set uid and gid to user zarn UID: '" + std::to_string(zarn->pw_uid) + "' GID: '" +
                         std::to_string(zarn->pw_gid) + "'.\nCannot run as root. Exting...\n";
  EXPECT_EQ(r.output.rfind(expected, 0), 0u) << r.output;
  // nobody may not write zarn's log: the line goes to standard output instead.
  EXPECT_NE(r.output.find("Cannot set uid and gid to user zarn."), r.output.npos) << r.output;
}

TEST_F(RouterStartupTest, WithoutTheAccountZarnItEnds) {
  TempDir dir;
  std::string passwd_copy = dir.file("passwd");
  std::string filtered;
  std::istringstream accounts(read_file("/etc/passwd"));
  for (std::string line; std::getline(accounts, line);)
    if (line.rfind("zarn:", 0) != 0) filtered += line + "\n";
  write_file(passwd_copy, filtered);
  ASSERT_EQ(mount(passwd_copy.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
  RunResult r = start_to_end();
  umount2("/etc/passwd", MNT_DETACH);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "User zarn not found on this system.\nCannot run as root. Exting...\n");
}

TEST_F(RouterStartupTest, TheFirewallIsBuiltBeforeThePortOpens) {
  write_file("/zarn/conf/stub-pause", "");
  Daemon daemon;
  ASSERT_TRUE(wait_for_text(kCallsLog, "paused")) << scene_.calls();
  {
    Peer early;
    EXPECT_FALSE(early.connected()) << "the port must not be open while the firewall is being built";
  }
  fs::remove("/zarn/conf/stub-pause");
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output() << scene_.log();
  Peer peer;
  ASSERT_TRUE(peer.connected());
  EXPECT_EQ(peer.read_until("\r\n"), "220 Zarn Router Server\r\n");
  std::string calls = scene_.calls();
  EXPECT_EQ(calls.rfind("firewall_operation 1 4 (null) db=1 conf=/zarn/conf/zarn-router.conf\n", 0), 0u) << calls;
  EXPECT_NE(calls.find("restrict_load 1 4\n"), std::string::npos) << calls;
  EXPECT_NE(scene_.log().find("ZarnRouter: Firewall command exitc [1] waitp ["), std::string::npos) << scene_.log();
  EXPECT_NE(scene_.log().find("errno [0]\nError: 'Success'\n"), std::string::npos) << scene_.log();
}

TEST_F(RouterStartupTest, AFailedFirewallBuildIsLoggedAndTheDaemonGoesOn) {
  scene_.stub_returns(0);
  Daemon daemon;
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  EXPECT_NE(scene_.log().find("ZarnRouter: Firewall command exitc [2] waitp ["), std::string::npos) << scene_.log();
}

TEST_F(RouterStartupTest, DetachingLeavesTheDaemonRunning) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // the detached daemon becomes our child
  Daemon parent({"-d"});
  int status = 0;
  ASSERT_EQ(waitpid(parent.pid(), &status, 0), parent.pid());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(parent.output(), "ZARN ROUTER STARTED IN DAEMON MODE\n");
  ASSERT_TRUE(wait_for_text(kRouterLogPath, "zarn-router: ready for connections\n"));
  Peer peer;
  ASSERT_TRUE(peer.connected());
  EXPECT_EQ(peer.read_until("\r\n"), "220 Zarn Router Server\r\n");
}

TEST_F(RouterStartupTest, ProcessTitlesAndTheAccountOfTheProcesses) {
  Daemon daemon;
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  std::string listener_title = read_file("/proc/" + std::to_string(daemon.pid()) + "/cmdline");
  EXPECT_EQ(listener_title.substr(0, listener_title.find('\0')), "zarn-router: ready for connections");
  std::string status = read_file("/proc/" + std::to_string(daemon.pid()) + "/status");
  const passwd* zarn = getpwnam("zarn");
  ASSERT_NE(zarn, nullptr);
  std::string uid = std::to_string(zarn->pw_uid);
  EXPECT_NE(status.find("Uid:\t" + uid + "\t" + uid + "\t" + uid), std::string::npos) << status;

  Peer peer;
  EXPECT_EQ(peer.login(), "\f222 Authentication accepted.\r\n");
  std::vector<pid_t> children = daemon.children();
  ASSERT_EQ(children.size(), 1u);
  // The title changes right after the reply that the login was accepted.
  const std::string logged_in = "zarn-router: [127.0.0.1]Client logged in..\n";
  std::string title;
  for (int i = 0; i < 100 && title != logged_in; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    title = read_file("/proc/" + std::to_string(children[0]) + "/cmdline");
    title = title.substr(0, title.find('\0'));
  }
  EXPECT_EQ(title, logged_in);
}

TEST_F(RouterStartupTest, InterruptSaysGoodByeToThePeer) {
  Daemon daemon;
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  Peer peer;
  EXPECT_EQ(peer.login(), "\f222 Authentication accepted.\r\n");
  std::vector<pid_t> children = daemon.children();
  ASSERT_EQ(children.size(), 1u);
  kill(children[0], SIGINT);
  EXPECT_EQ(peer.read_to_close(), "\r\nReceived term signal.\r\nBye Bye.\r\n");
  EXPECT_TRUE(peer.closed());

  kill(daemon.pid(), SIGQUIT);
  int status = 0;
  ASSERT_EQ(waitpid(daemon.pid(), &status, 0), daemon.pid());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string log = scene_.log();
  size_t first = log.find("Term signal received.\n");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("Term signal received.\n", first + 1), std::string::npos) << log;
  Peer late;
  EXPECT_FALSE(late.connected()) << "the listening socket is closed";
}

}  // namespace
