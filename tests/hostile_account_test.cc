// A hostile zarn account: whatever a subscriber who broke into zarn-auth can
// do as zarn against the set-user-id runner and the root daemons must not
// make root run, write or read anything it would not for an honest caller.
// Everything here runs as zarn against the installed programs in the sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/access_fixture.h"
#include "tests/reaper_daemon.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

const std::string kRunnerLog = "/zarn/logs/gw-runner.log";
// A root-only file, as /etc/shadow is: what zarn must never get read or written.
const std::string kSecret = "/zarn/conf/secret";
const std::string kSecretText = "root:$6$secret-hash:19000:0:99999:7:::\n";

// An empty capture file: a pcap header and no packets.
std::string empty_capture() {
  const unsigned char header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2,    0,    4, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

// Runs the runner as zarn in a child and gives its exit status, or -1 when it
// had not ended after `seconds` (a hang).
int runner_within(const std::vector<std::string>& args, int seconds) {
  pid_t pid = fork();
  if (pid == 0) _exit(runner(args).exit_status & 0xff);
  return wait_for_exit(pid, seconds);
}

class HostileAccountTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    write_file(kSecret, kSecretText);
    chmod(kSecret.c_str(), 0600);
    fs::remove_all(scratch_);
    fs::create_directory(scratch_);
    fs::permissions(scratch_, fs::perms::all);  // zarn may write here, as in any directory it owns
    write_file(scratch_ + "/in.pcap", empty_capture());
  }
  void TearDown() override { fs::remove_all(scratch_); }
  std::string runner_log() { return read_file(kRunnerLog); }

  TestDatabase db_;
  const std::string scratch_ = "/zarn/auth_sessions/scratch";
};

TEST_F(HostileAccountTest, DiagnosticOptionsThatReadWriteOrRunAreRefused) {
  const std::string out = scratch_ + "/out.pcap";
  const std::string marker = scratch_ + "/ran";
  write_file(scratch_ + "/hook", "#!/bin/sh\ntouch " + marker + "\n");
  chmod((scratch_ + "/hook").c_str(), 0755);

  struct Case {
    std::vector<std::string> args;
    std::string refused;
  };
  const Case cases[] = {
      {{"tcpdump", "-V", kSecret}, "-V"},
      {{"tcpdump", "-r", scratch_ + "/in.pcap", "-w", out}, "-r"},
      {{"tcpdump", "-n", "-r" + scratch_ + "/in.pcap", "-nw", out}, "-r" + scratch_ + "/in.pcap"},
      {{"tcpdump", "-F", kSecret}, "-F"},
      {{"tcpdump", "-z", scratch_ + "/hook", "-r", scratch_ + "/in.pcap", "-w", out, "-C", "1"}, "-z"},
      {{"tcpdump", "--relinquish-privileges=root", "-r", scratch_ + "/in.pcap"}, "--relinquish-privileges=root"},
      {{"mtr", "-r", "-F", kSecret}, "-F"},
      {{"mtr", "--filename=" + kSecret}, "--filename=" + kSecret},
      {{"arping", "-U", "-I", "lo", "10.0.0.1"}, "-U"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args[1]);
    fs::remove(kRunnerLog);
    RunResult r = runner(c.args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output.find("secret-hash"), std::string::npos) << "root read the secret for zarn: " << r.output;
    EXPECT_EQ(r.output.find("root:"), std::string::npos) << r.output;
    EXPECT_EQ(runner_log(), "Error: " + c.args.front() + " option refused: " + c.refused + "\nExitCode: 0\n");
  }
  EXPECT_FALSE(path_exists(out)) << "root wrote a capture where zarn asked";
  EXPECT_FALSE(path_exists(marker)) << "root ran zarn's program";

  // The control: an option that only looks still reaches the tool.
  RunResult version = runner({"tcpdump", "--version"});
  EXPECT_NE(version.output.find("tcpdump version"), std::string::npos) << version.output;
}

TEST_F(HostileAccountTest, RootWritesNoLogLineThroughALinkAFifoOrAHardLink) {
  ASSERT_EQ(symlink(kSecret.c_str(), kRunnerLog.c_str()), 0);
  EXPECT_EQ(runner_within({"internet", "reload", "7"}, 10), 2);
  EXPECT_EQ(read_file(kSecret), kSecretText) << "root wrote through zarn's link";
  fs::remove(kRunnerLog);

  ASSERT_EQ(link(kSecret.c_str(), kRunnerLog.c_str()), 0) << "as zarn could where hard links are not protected";
  EXPECT_EQ(runner_within({"internet", "reload", "7"}, 10), 2);
  EXPECT_EQ(read_file(kSecret), kSecretText) << "root wrote through zarn's hard link";
  fs::remove(kRunnerLog);

  ASSERT_EQ(mkfifo(kRunnerLog.c_str(), 0666), 0);
  int status = runner_within({"internet", "reload", "7"}, 10);
  // Lets a runner that hung on the FIFO go on, so that it does not outlive the test.
  int reader = open(kRunnerLog.c_str(), O_RDONLY | O_NONBLOCK);
  char buf[256];
  ssize_t got = reader >= 0 ? read(reader, buf, sizeof buf) : -1;
  EXPECT_EQ(status, 2) << "a FIFO as the log must not hang the runner";
  EXPECT_LE(got, 0) << "the runner wrote into zarn's FIFO";
  if (reader >= 0) close(reader);
  fs::remove(kRunnerLog);
}

// The session directory belongs to zarn; the reaper scans it as root.
class HostileSessionsTest : public HostileAccountTest {
 protected:
  void SetUp() override {
    HostileAccountTest::SetUp();
    fs::remove_all(scratch_);
    write_file("/zarn/conf/zarn-auth.conf",
               db_.config_lines() + "session_dir " + kSessions + "\nexpiration_time 61\nverify_interval 11\n");
  }
};

TEST_F(HostileSessionsTest, TheReaperReadsNoLinkNoFifoAndNoHugeFile) {
  write_file(kSecret, "sid;42;00:11:22:33:44:55 " + kSecretText);
  ASSERT_EQ(symlink(kSecret.c_str(), (kSessions + "/10.1.2.3").c_str()), 0);
  ASSERT_EQ(mkfifo((kSessions + "/10.1.2.4").c_str(), 0666), 0);
  write_file(kSessions + "/10.1.2.5", std::string(4 << 20, 'x') + ";42;00:11:22:33:44:55");
  write_file(kSessions + "/10.1.2.6", "sid;42;00:11:22:33:44:55");  // the control: expired as usual
  Reaper reaper(75);
  ASSERT_TRUE(reaper_log_shows("disconnect result main thread")) << read_file(kReaperLog).substr(0, 2000);
  ASSERT_TRUE(reaper_log_shows("session-reaper: failure variable wrong [] [] []\n"))
      << "a huge file is not read: " << read_file(kReaperLog).substr(0, 2000);
  EXPECT_EQ(reaper.interrupt(), 0) << "a FIFO must not hang the scan";

  std::string log = read_file(kReaperLog);
  EXPECT_EQ(log.find("secret-hash"), std::string::npos) << "root read the secret into zarn's log";
  EXPECT_EQ(log.find("10.1.2.3"), std::string::npos) << "a link is passed over: " << log;
  EXPECT_LT(log.size(), 64u * 1024) << "the huge file reached the log";
  EXPECT_EQ(read_file(kSecret), "sid;42;00:11:22:33:44:55 " + kSecretText);
  EXPECT_TRUE(fs::is_symlink(kSessions + "/10.1.2.3"));
  fs::remove(kSessions + "/10.1.2.3");
  fs::remove(kSessions + "/10.1.2.4");
}

}  // namespace
