// The daemons that go into the background, when the system refuses them the
// process to go there with: each says so and ends as a failed start-up, with
// status 0, instead of telling that it started. The refusal is real: the
// process limit of the daemon's user (RLIMIT_NPROC) makes fork fail.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "tests/testing.h"

namespace fs = std::filesystem;

namespace {

using namespace zarn_test;

// A user id that no account and no other test uses: its process count is
// only what the test starts.
constexpr uid_t kLoneUid = 61234;
constexpr const char* kFailedFork = "Error: Could not fork into daemon mode: Resource temporarily unavailable\n";

// What a limited run gave; `output` is what came within the wait.
struct LimitedRun {
  int exit_status = -1;
  std::string output;
};

// Runs argv with at most `processes` processes for its user, as root or, with
// `uid`, as that user in the group zarn. Output is read for up to `seconds`:
// a background process that keeps the output open does not hang the test.
LimitedRun run_limited(const std::vector<std::string>& argv, rlim_t processes, std::optional<uid_t> uid = {},
                       int seconds = 20) {
  const group* zarn = getgrnam("zarn");
  if (!zarn) throw std::runtime_error("the group zarn is missing");
  const gid_t zarn_gid = zarn->gr_gid;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    if (uid && (setgroups(0, nullptr) != 0 || setresgid(zarn_gid, zarn_gid, zarn_gid) != 0 ||
                setresuid(*uid, *uid, *uid) != 0))
      _exit(126);
    // After the change of user: a limit already exceeded at that moment would
    // refuse the program itself.
    const rlimit limit{processes, processes};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(125);
    // In a sanitizer build the leak checker needs a task of its own at exit
    // (it stops the program from a second one), which the limit refuses; it
    // would then end the daemon with status 1. The run is about fork, so the
    // leak check is off for it (a build without sanitizers ignores this).
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  LimitedRun r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.output.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  r.exit_status = wait_for_exit(pid, seconds);
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return r;
}

// A log file that any user may append to (the lone user cannot create one).
void open_log(const std::string& path) {
  write_file(path, "");
  chmod(path.c_str(), 0666);
}

class DaemonForkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getpwuid(kLoneUid), nullptr) << "user id " << kLoneUid << " belongs to an account";
    for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
  }
  TestDatabase db_;
};

TEST_F(DaemonForkTest, TheServicesSayThatTheyCouldNotDetach) {
  struct Case {
    const char* program;
    const char* log;
    const char* started;
  };
  const Case cases[] = {
      {"/zarn/bin/zarn-router", "/zarn/logs/zarn-router.log", "ZARN ROUTER STARTED IN DAEMON MODE"},
      {"/zarn/bin/zarn-auth", "/zarn/logs/zarn-auth.log", "ZARN AUTH SERVER STARTED IN DAEMON MODE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    // Started as root, each becomes zarn, whose processes the limit counts.
    LimitedRun r = run_limited({c.program, "-d"}, 0);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, kFailedFork);
    EXPECT_EQ(r.output.find(c.started), std::string::npos);
    EXPECT_EQ(read_file(c.log), kFailedFork);
  }
}

TEST_F(DaemonForkTest, TheSessionReaperSaysThatItCouldNotDetach) {
  write_file("/zarn/conf/zarn-auth.conf",
             db_.config_lines() + "session_dir /zarn/auth_sessions\nexpiration_time 61\nverify_interval 11\n");
  open_log("/zarn/logs/session-reaper.log");
  const std::string message = "session-reaper: Could not fork into background.\nAborting launch.\n";
  LimitedRun r = run_limited({"/zarn/bin/session-reaper"}, 0, kLoneUid);
  EXPECT_EQ(r.exit_status, 0) << "a failed start-up, not a started daemon (1)";
  EXPECT_EQ(r.output, message);
  EXPECT_EQ(read_file("/zarn/logs/session-reaper.log"), message);
}

class MacwatchForkTest : public DaemonForkTest {
 protected:
  void SetUp() override {
    DaemonForkTest::SetUp();
    db_.exec("INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.1.1')");
    write_file("/zarn/conf/zarn-router.conf", db_.config_lines() +
                                                  "listenaddr 10.1.1.1\npath_iptables /usr/sbin/iptables\n"
                                                  "path_modprobe /usr/sbin/modprobe\ninternal_eth lo\n");
    open_log("/zarn/logs/macwatch.log");
  }
};

const std::string kAborted = "MACWATCH: Could not start every worker.Aborting launch.\n";

TEST_F(MacwatchForkTest, NoWorkerStartedIsAFailedLaunch) {
  LimitedRun r = run_limited({"/zarn/bin/macwatch"}, 0, kLoneUid);
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.output,
            "MACWATCH STARTED \t[\e[;31m FAILED \e[00m]\n"
            "ARP_READER STARTED \t[\e[;31m FAILED \e[00m]\n"
            "ARP_PINGER STARTED \t[\e[;31m FAILED \e[00m]\n" +
                kAborted);
  EXPECT_EQ(read_file("/zarn/logs/macwatch.log"), kAborted);
}

TEST_F(MacwatchForkTest, AWorkerThatStartedAloneIsStoppedAgain) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // the launched worker becomes our child
  // The launcher and one worker: the second and third fork are refused.
  LimitedRun r = run_limited({"/zarn/bin/macwatch"}, 2, kLoneUid);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(r.exit_status, 0) << r.output;
  std::smatch started;
  ASSERT_TRUE(std::regex_search(r.output, started, std::regex("^MACWATCH STARTED PID: ([0-9]+)\t\\[\e\\[;32m OK ")))
      << r.output;
  EXPECT_NE(r.output.find("ARP_READER STARTED \t[\e[;31m FAILED \e[00m]\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("ARP_PINGER STARTED \t[\e[;31m FAILED \e[00m]\n" + kAborted), std::string::npos) << r.output;
  pid_t finder = std::stoi(started[1]);
  wait_for_exit(finder, 20);
  EXPECT_EQ(finder, -1) << "the finder still runs after the failed launch";
  if (finder > 0) {
    kill(finder, SIGKILL);
    waitpid(finder, nullptr, 0);
  }
}

}  // namespace
