// Faults of the files around the daemons: the log directory removed or
// closed to them, a full disk under the log, the session directory removed.
// What must survive: logins open and close the forwarding and the session
// rows as usual, zarn-router serves its commands, nothing crashes, and the
// log holds only whole lines.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/auth_harness.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

const std::string kLogs = "/zarn/logs";
const std::string kSessions = "/zarn/auth_sessions";
const std::string kReaper = "/zarn/bin/session-reaper";
const std::string kOpenRows = "SELECT COUNT(*) FROM internet_vpn_log WHERE logout_date = '0000-00-00 00:00:00'";

bool forwarded(const std::string& ip) { return forwarded_on_loopback(ip); }

// The lines of the login daemon's log that are not one whole line as the
// daemon writes it (a line cut short and joined with the next shows here).
std::vector<std::string> broken_auth_log_lines(const std::string& log) {
  static const std::regex whole(
      "|Zarn-Auth: Accepting connections on port: 7000"
      "|Client 127\\.0\\.0\\.[0-9]+ sock:[0-9]+ [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}"
      "|#+"  // the test's own padding
      "|\\[127\\.0\\.0\\.[0-9]+\\]\\[[0-9]+\\]\\[[0-9a-f]{10}\\]"
      "(Authentication accepted\\.|Response does not match session\\.|Connection to client ended\\.)");
  std::vector<std::string> broken;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line))
    if (!std::regex_match(line, whole)) broken.push_back(line);
  return broken;
}

class LogFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    require_private_netns();
    run({"/usr/sbin/ip", "addr", "add", std::string(kAlice) + "/8", "dev", "lo"});
    for (const auto& entry : fs::directory_iterator(kLogs)) fs::remove_all(entry.path());
    db_.exec(
        "INSERT INTO internet_routers (id, rname, ip, `user`, `password`) VALUES (3, 'auth-router', '127.0.0.1',"
        " 'zarn_test', UNHEX('" +
        std::string(kRouterCipherHex) +
        "'));"
        "INSERT INTO internal_net (rid, net, host_min, host_max, gw) VALUES"
        " (3, '127.0.0.0/24', INET_ATON('127.0.0.1'), INET_ATON('127.0.0.254'), '127.0.0.1');"
        "INSERT INTO internet_clients (id, remote) VALUES (21, 3), (22, 3);"
        "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES (21, 3, '127.0.0.21', '02:00:00:00:00:21', "
        "1),"
        " (22, 3, '127.0.0.22', '02:00:00:00:00:22', 0);"
        // abcdefgh under routerkey
        "INSERT INTO internet_vpn (cid, `user`, pass) VALUES (21, 'alice', UNHEX('6592a29ddd2f0b6f'));");
    write_file("/zarn/conf/zarn-auth.conf", "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\n" +
                                                db_.config_lines() + "ping_client_time 5\nclient_timeout 10\n" +
                                                "session_dir " + kSessions +
                                                "\nexpiration_time 61\nverify_interval 11\n");
    write_file("/zarn/conf/zarn-router.conf",
               "listenport " + std::to_string(kRouterPort) +
                   "\nlistenaddr 127.0.0.1\nmaster_server 127.0.0.1\ncrypt_key routerkey\n" + db_.config_lines());
    ASSERT_EQ(runner({"internet", "start", "3"}).exit_status, 1) << read_file(kLogs + "/gw-runner.log");
    ASSERT_EQ(runner({"ZarnAuth", "21", "stop"}).exit_status, 1);
  }
  void TearDown() override { umount2(kLogs.c_str(), MNT_DETACH); }

  // One login from its first line to its end: the forwarding opened while it
  // lasts, closed with the session row after.
  void login_and_logout(const std::string& why) {
    SCOPED_TRACE(why);
    Subscriber alice;
    ASSERT_EQ(alice.login("alice", "abcdefgh"), "222 Authentication accepted.\r\n");
    std::string session = session_of(alice.line());
    EXPECT_EQ(session.size(), 10u);
    EXPECT_TRUE(forwarded(kAlice)) << "forwarding opened";
    EXPECT_EQ(count(kOpenRows), "1") << "session row written";
    EXPECT_EQ(alice.line(), "228 SessionID\r\n");
    alice.send("wrong");
    alice.expect_good_bye();
    EXPECT_TRUE(eventually([] { return !forwarded(kAlice); }, 10)) << "forwarding closed";
    EXPECT_TRUE(eventually([&] { return count(kOpenRows) == "0"; }, 10)) << "session row ended";
  }
  std::string count(const std::string& sql) { return db_.query(sql)[0][0]; }

  TestDatabase db_;
};

TEST_F(LogFaultTest, ARemovedOrClosedLogDirectoryStopsNoLogin) {
  const passwd* zarn = getpwnam("zarn");
  ASSERT_NE(zarn, nullptr);
  struct Fault {
    const char* what;
    std::function<void()> make;
    std::function<void()> mend;
  };
  // zarn-router as well, with the real runner and modules.
  Daemon router;
  ASSERT_TRUE(router.wait_ready()) << router.output() << read_file(kRouterLogPath);
  ASSERT_EQ(runner({"ZarnAuth", "21", "stop"}).exit_status, 1);
  const Fault faults[] = {
      {"log directory removed", [] { fs::remove_all(kLogs); },
       [&] {
         fs::create_directory(kLogs);
         chown(kLogs.c_str(), zarn->pw_uid, zarn->pw_gid);
       }},
      {"log directory and log not writable",
       [] {
         for (const auto& entry : fs::directory_iterator(kLogs)) {
           chown(entry.path().c_str(), 0, 0);
           chmod(entry.path().c_str(), 0444);
         }
         chown(kLogs.c_str(), 0, 0);
         chmod(kLogs.c_str(), 0555);
       },
       [&] {
         for (const auto& entry : fs::directory_iterator(kLogs)) chmod(entry.path().c_str(), 0666);
         chmod(kLogs.c_str(), 0777);
       }},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    AuthDaemon daemon;
    ASSERT_TRUE(daemon.ready());
    fault.make();
    std::string before = read_file(kAuthLog);
    login_and_logout(fault.what);
    login_and_logout(std::string(fault.what) + ", a second time");
    {
      Peer master;
      ASSERT_EQ(master.login("zarn_test", "abcde"), "\f222 Authentication accepted.\r\n");
      EXPECT_EQ(master.exchange("client activate 22", "222 Success.\r\n"), "222 Success.\r\n");
      EXPECT_TRUE(forwarded("127.0.0.22"));
      EXPECT_EQ(master.exchange("client deactivate 22", "222 Success.\r\n"), "222 Success.\r\n");
      EXPECT_FALSE(forwarded("127.0.0.22"));
    }
    EXPECT_EQ(read_file(kAuthLog), before) << "nothing could be written";
    EXPECT_EQ(daemon.wait_exit(1), -1) << "the daemon still runs";
    fault.mend();
    login_and_logout(std::string(fault.what) + ", mended");
    EXPECT_TRUE(wait_for_text(kAuthLog, "]Connection to client ended.\n")) << "the log is written again";
  }
}

TEST_F(LogFaultTest, AFullDiskKeepsTheLogWholeAndTheLoginsGoing) {
  const passwd* zarn = getpwnam("zarn");
  ASSERT_NE(zarn, nullptr);
  std::string options =
      "size=64k,mode=0755,uid=" + std::to_string(zarn->pw_uid) + ",gid=" + std::to_string(zarn->pw_gid);
  ASSERT_EQ(mount("tmpfs", kLogs.c_str(), "tmpfs", 0, options.c_str()), 0) << std::strerror(errno);
  AuthDaemon daemon;
  ASSERT_TRUE(daemon.ready());
  login_and_logout("space left");
  // The log ends a few bytes before a page boundary: the next line straddles
  // it, and the page behind the boundary cannot be had.
  size_t size = fs::file_size(kAuthLog);
  size_t page = 4096;
  size_t pad = (page - size % page) + page - 12;
  { std::ofstream(kAuthLog, std::ios::app) << std::string(pad - 1, '#') << "\n"; }
  ASSERT_EQ(fs::file_size(kAuthLog) % page, page - 12);
  std::string filler = kLogs + "/filler";
  {
    std::ofstream out(filler, std::ios::binary);
    std::string block(page, 'f');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
    }
  }
  ASSERT_GT(fs::file_size(filler), 0u);
  std::string before = read_file(kAuthLog);
  login_and_logout("disk full");
  login_and_logout("disk full, a second time");
  EXPECT_EQ(daemon.wait_exit(1), -1) << "the daemon still runs";
  std::string full = read_file(kAuthLog);
  EXPECT_EQ(full.compare(0, before.size(), before), 0) << "earlier lines kept";
  EXPECT_EQ(broken_auth_log_lines(full), std::vector<std::string>{}) << "while full";

  fs::remove(filler);
  login_and_logout("space back");
  std::string after = read_file(kAuthLog);
  EXPECT_GT(after.size(), full.size()) << "new lines after space came back";
  EXPECT_EQ(after.compare(0, before.size(), before), 0) << "earlier lines kept";
  EXPECT_EQ(broken_auth_log_lines(after), std::vector<std::string>{}) << after.substr(before.size());
  EXPECT_NE(after.find("]Authentication accepted.\n", full.size()), std::string::npos);
}

TEST_F(LogFaultTest, ARemovedSessionDirectoryEndsTheReaperAndNothingElse) {
  // A gate login open in the database, its session file young.
  db_.exec("INSERT INTO internet_gate_log (cid, session, remote_addr) VALUES (21, 'gate-session', '127.0.0.21')");
  write_file(kSessions + "/127.0.0.21", "gate-session;21;02:00:00:00:00:21");
  AuthDaemon auth;
  ASSERT_TRUE(auth.ready());
  pid_t reaper = fork();
  if (reaper == 0) {
    int fd = open((kLogs + "/reaper-stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    execl(kReaper.c_str(), kReaper.c_str(), "-d", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The first scan has run when the file is still there a moment later.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(path_exists(kSessions + "/127.0.0.21")) << "a young session is kept";
  fs::remove_all(kSessions);

  // The login daemon does not use the directory: logins go on.
  login_and_logout("session directory removed");
  // The reaper's next scan finds no directory and ends the daemon.
  int status = 0;
  bool ended = eventually([&] { return waitpid(reaper, &status, WNOHANG) == reaper; }, 20);
  if (!ended) kill(reaper, SIGKILL), waitpid(reaper, &status, 0);
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(read_file(kLogs + "/reaper-stdout"), "Cannot open directory " + kSessions + "\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00'"), "1")
      << "the reaper closed no login it did not expire";
  // A firewall build without the directory still closes the open gate logins.
  ASSERT_EQ(runner({"internet", "start", "3"}).exit_status, 1) << read_file(kLogs + "/gw-runner.log");
  EXPECT_EQ(count("SELECT COUNT(*) FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00'"), "0");
  EXPECT_FALSE(path_exists(kSessions));
}

}  // namespace
