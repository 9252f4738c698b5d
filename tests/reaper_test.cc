// The session expiry daemon, installed under /zarn, against the real
// database and the real access module in a private network namespace. The
// daemon's clock is moved with libfaketime (file times stay real), so that
// sessions are old without waiting for them.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/reaper_daemon.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

class ReaperTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    configure("expiration_time 61\nverify_interval 11\n");
    ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
    ASSERT_EQ(runner({"zarn-gate", "10.1.2.3", "00:11:22:33:44:55"}).exit_status, 1);
    db_.exec(
        "INSERT INTO internet_gate_log (cid, session, remote_addr) VALUES (42, 'sid', '10.1.2.3'), (42, 'other', "
        "'10.1.2.3')");
  }
  void configure(const std::string& limits, const std::string& dir = kSessions) {
    write_file("/zarn/conf/zarn-auth.conf", db_.config_lines() + "session_dir " + dir + "\n" + limits);
  }
  std::vector<std::string> gate_set() { return set_members("src_10_1_2_0_24"); }
  std::string open_sessions() {
    std::string out;
    for (auto& row :
         db_.query("SELECT session FROM internet_gate_log WHERE logout_date = '0000-00-00 00:00:00' ORDER BY session"))
      out += row[0] + " ";
    return out;
  }
  TestDatabase db_;
};

TEST_F(ReaperTest, VersionAndStartUpRefusals) {
  RunResult v = run({kReaper, "-v"});
  EXPECT_EQ(v.exit_status, 0);
  EXPECT_EQ(v.output, "Version: 1.0.2\n");

  configure("expiration_time 60\nverify_interval 11\n");
  RunResult two = run({kReaper, "-v", "x"});
  EXPECT_EQ(two.exit_status, 1) << "two arguments start the daemon, which forks";
  EXPECT_TRUE(reaper_log_shows("session-reaper: Please check config variables.\nAborting launch.\n"));

  fs::remove("/zarn/conf/zarn-auth.conf");
  RunResult none = run({kReaper, "-d"});
  EXPECT_EQ(none.exit_status, 0);
  EXPECT_EQ(none.output, "session-reaper: Cannot read config.\nAborting launch.\n");

  configure("expiration_time 61\nverify_interval 10\n");
  EXPECT_EQ(run({kReaper, "-d"}).exit_status, 1);
}

TEST_F(ReaperTest, AnExpiredSessionIsClosedInTheDatabaseAndTheKernel) {
  write_file(kSessions + "/10.1.2.3", "sid;42;00:11:22:33:44:55\n");
  ASSERT_EQ(gate_set().size(), 2u);
  Reaper reaper(75);
  ASSERT_TRUE(reaper_log_shows("disconnect result main thread: exitc [0]")) << read_file(kReaperLog) << reaper.output();
  EXPECT_EQ(reaper.interrupt(), 0);

  EXPECT_FALSE(path_exists(kSessions + "/10.1.2.3"));
  EXPECT_EQ(open_sessions(), "other ") << "only the row of this session is stamped";
  for (const std::string& m : gate_set()) EXPECT_EQ(m.rfind("10.1.2.3,", 0), std::string::npos) << m;
  std::string log = read_file(kReaperLog);
  EXPECT_NE(log.find("diconnecting: 10.1.2.3["), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect result: 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Program exited ok.\n"), std::string::npos) << log;
  EXPECT_NE(reaper.output().find("Program exited ok.\n"), std::string::npos);
}

// The forms of a MAC the access module also takes: a login closed in the
// database has its forwarding closed in the kernel too.
TEST_F(ReaperTest, ACrLfFileOrAMacWithoutColonsClosesBothLoginAndForwarding) {
  for (const char* content : {"sid;42;00:11:22:33:44:55\r\n", "sid;42;001122334455\n"}) {
    SCOPED_TRACE(content);
    if (gate_set().size() < 2u) {
      ASSERT_EQ(runner({"zarn-gate", "10.1.2.3", "00:11:22:33:44:55"}).exit_status, 1);
    }
    db_.exec("UPDATE internet_gate_log SET logout_date = '0000-00-00 00:00:00'");
    fs::remove(kReaperLog);
    write_file(kSessions + "/10.1.2.3", content);
    Reaper reaper(75);
    ASSERT_TRUE(reaper_log_shows("disconnect result main thread")) << read_file(kReaperLog);
    reaper.interrupt();
    EXPECT_EQ(open_sessions(), "other ") << read_file(kReaperLog);
    for (const std::string& m : gate_set())
      EXPECT_EQ(m.rfind("10.1.2.3,", 0), std::string::npos) << m << read_file(kReaperLog);
    EXPECT_NE(read_file(kReaperLog).find("disconnect result: 1\n"), std::string::npos) << read_file(kReaperLog);
  }
}

TEST_F(ReaperTest, ALoginRowThatCannotBeClosedKeepsItsForwarding) {
  db_.exec("ALTER TABLE internet_gate_log RENAME COLUMN logout_date TO logout_date_gone");
  write_file(kSessions + "/10.1.2.3", "sid;42;00:11:22:33:44:55\n");
  Reaper reaper(75);
  ASSERT_TRUE(reaper_log_shows("session-reaper: login not closed, forwarding kept [42] [10.1.2.3]\n"))
      << read_file(kReaperLog);
  reaper.interrupt();
  bool kept = false;
  for (const std::string& m : gate_set()) kept |= m.rfind("10.1.2.3,", 0) == 0;
  EXPECT_TRUE(kept) << "the forwarding went while the login row stayed open";
  EXPECT_EQ(read_file(kReaperLog).find("disconnect result"), std::string::npos) << read_file(kReaperLog);
}

TEST_F(ReaperTest, BadContentIsDeletedAndTouchesNothingElse) {
  write_file(kSessions + "/10.1.2.4", "sid;0;00:11:22:33:44:55");
  write_file(kSessions + "/10.1.2.5", "sid;42;not-a-mac");
  write_file(kSessions + "/10.1.2.6", "");
  write_file(kSessions + "/not-an-address", "sid;42;00:11:22:33:44:55");
  fs::create_directory(kSessions + "/subdir");
  write_file(kSessions + "/subdir/10.1.2.3", "sid;42;00:11:22:33:44:55");
  write_file(kSessions + "/10.1.2.7", "x' or '1'='1;42;00:11:22:33:44:55");
  Reaper reaper(75);
  ASSERT_TRUE(reaper_log_shows("diconnecting: 10.1.2.7[")) << read_file(kReaperLog);
  ASSERT_TRUE(reaper_log_shows("disconnect result main thread"));
  reaper.interrupt();

  std::string log = read_file(kReaperLog);
  EXPECT_NE(log.find("session-reaper: failure variable wrong [sid] [0] [00:11:22:33:44:55]\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("session-reaper: failure variable wrong [sid] [42] [not-a-mac]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("session-reaper: failure variable wrong [] [] []\n"), std::string::npos) << log;
  EXPECT_NE(log.find("session-reaper: failure address wrong [not-an-address]\n"), std::string::npos) << log;
  for (const char* gone : {"10.1.2.4", "10.1.2.5", "10.1.2.6", "not-an-address", "10.1.2.7"})
    EXPECT_FALSE(path_exists(kSessions + "/" + gone)) << gone;
  EXPECT_TRUE(path_exists(kSessions + "/subdir/10.1.2.3")) << "a subdirectory is never touched";
  EXPECT_EQ(open_sessions(), "other sid ") << "a quote in the session id matches no row";
  EXPECT_EQ(gate_set().size(), 2u) << "the kernel keeps the gate client";
}

TEST_F(ReaperTest, OnlySessionsOlderThanTheLimitExpire) {
  write_file(kSessions + "/10.1.2.8", "sid;42;00:11:22:33:44:55");
  struct stat old_file;
  stat((kSessions + "/10.1.2.8").c_str(), &old_file);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  write_file(kSessions + "/10.1.2.9", "other;42;00:11:22:33:44:56");
  // The daemon's clock: the limit falls between the two files' times.
  long offset = (old_file.st_ctime + 2 + 61) - time(nullptr);
  Reaper reaper(offset);
  ASSERT_TRUE(reaper_log_shows("diconnecting: 10.1.2.8[")) << read_file(kReaperLog);
  ASSERT_TRUE(reaper_log_shows("disconnect result main thread"));
  reaper.interrupt();
  EXPECT_TRUE(path_exists(kSessions + "/10.1.2.9")) << "the younger session is kept";
  EXPECT_EQ(read_file(kReaperLog).find("10.1.2.9"), std::string::npos);
}

TEST_F(ReaperTest, AMissingSessionDirectoryEndsTheDaemon) {
  configure("expiration_time 61\nverify_interval 11\n", "/zarn/auth_sessions/gone");
  Reaper reaper(0);
  EXPECT_EQ(reaper.wait_for_exit(10), 0);
  EXPECT_EQ(reaper.output(), "Cannot open directory /zarn/auth_sessions/gone\n");
}

}  // namespace
