#include "libzarn/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "libzarn/globals.h"
#include "tests/testing.h"

namespace {

// Points the logger at a file for one test.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("program.log");
    extern_error_log = path_.c_str();
  }
  void TearDown() override { extern_error_log = nullptr; }
  zarn_test::TempDir dir_;
  std::string path_;
};

TEST_F(LogTest, LinesAreAppendedAndFormatted) {
  EXPECT_EQ(write_log("first %d\n", 1), 1);
  EXPECT_EQ(write_log("second %s\n", "two"), 1);
  EXPECT_EQ(zarn_test::read_file(path_), "first 1\nsecond two\n");
}

TEST_F(LogTest, PerCentSignsInValuesReachTheFileUnchanged) {
  write_log("MYSQL Error: Query('%s')\n", "SELECT * FROM t WHERE a LIKE '%s%d%%'");
  EXPECT_EQ(zarn_test::read_file(path_), "MYSQL Error: Query('SELECT * FROM t WHERE a LIKE '%s%d%%'')\n");
}

TEST_F(LogTest, ALineThatDoesNotFitWholeLeavesNothingOfItself) {
  EXPECT_EQ(write_log("first\n"), 1);
  // A file size limit stands for a full disk: the write that crosses it is cut
  // short, the rest of the line refused.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit limit = saved;
  limit.rlim_cur = 10;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  int status = write_log("second line\n");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(zarn_test::read_file(path_), "first\n") << "a piece of the line stayed";
  EXPECT_EQ(write_log("third\n"), 1);
  EXPECT_EQ(zarn_test::read_file(path_), "first\nthird\n");
}

TEST_F(LogTest, ARemovedLogIsMadeAgainByTheNextLine) {
  write_log("a\n");
  unlink(path_.c_str());
  write_log("b\n");
  EXPECT_EQ(zarn_test::read_file(path_), "b\n");
}

TEST_F(LogTest, WithoutTheLogDirectoryTheLineGoesToStandardOutput) {
  std::string missing = dir_.file("gone/program.log");
  extern_error_log = missing.c_str();
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_log("one\ntwo\n"), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Unable to open log file " + missing + " error(onetwo)\n");
}

TEST_F(LogTest, ALinkPlantedAtTheLogPathIsNotFollowed) {
  std::string target = dir_.file("target");
  zarn_test::write_file(target, "");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_log("x\n"), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(zarn_test::read_file(target), "");
}

// Runs write_log in a child that may take at most two seconds: the status it
// gave, or -2 when it hung.
int write_log_within_two_seconds(const char* line) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(2);
    int status = write_log("%s", line);
    _exit(status == 1 ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 1 ? 1 : -1;
}

TEST_F(LogTest, AFifoAtTheLogPathNeitherHangsNorTakesTheLine) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0666), 0);
  EXPECT_EQ(write_log_within_two_seconds("x\n"), -1) << "no reader: the open must not wait for one";

  int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(write_log_within_two_seconds("x\n"), -1) << "with a reader: still no log file";
  char buf[8];
  EXPECT_LE(read(reader, buf, sizeof buf), 0) << "nothing was written into the FIFO";
  close(reader);
}

TEST_F(LogTest, AHardLinkToAnotherFileIsNotWrittenThrough) {
  std::string target = dir_.file("target");
  zarn_test::write_file(target, "kept\n");
  ASSERT_EQ(link(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(write_log_within_two_seconds("x\n"), -1);
  EXPECT_EQ(zarn_test::read_file(target), "kept\n");
}

TEST_F(LogTest, ADeviceAtTheLogPathIsNotWritten) {
  // A link to a device is refused as a link; the device itself as not regular.
  extern_error_log = "/dev/null";
  EXPECT_EQ(write_log_within_two_seconds("x\n"), -1);
}

TEST(Now, IsCtimeText) {
  std::string t = now();
  ASSERT_EQ(t.size(), 25u) << t;
  EXPECT_EQ(t.back(), '\n');
}

}  // namespace
