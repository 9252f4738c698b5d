#include "libzarn/process.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "libzarn/proctitle.h"
#include "tests/testing.h"

namespace {

TEST(Execute, OneLineModeGivesTheFirstLineWithItsLineFeed) {
  EXPECT_EQ(execute(0, "printf '%s\\nsecond\\n'", "hello"), "hello\n");
  EXPECT_EQ(execute(0, "true"), "");
  EXPECT_FALSE(execute(0, "echo printed; exit 1"));
  std::string long_line(3000, 'x');
  EXPECT_EQ(execute(0, "printf %s", long_line.c_str())->size(), 1023u);
}

TEST(Execute, LengthModeGivesAtMostThatManyBytes) {
  EXPECT_EQ(execute(5, "printf abc"), "abc");
  EXPECT_EQ(execute(5, "printf '%s'", "0123456789"), "01234");
  // A writer that goes on after the read may die of the closed pipe: no result.
  EXPECT_FALSE(execute(5, "yes"));
}

TEST(Execute, SeesTheStatusEvenWhenTheCallerIgnoresChildSignals) {
  struct sigaction ignore {
  }, before{}, after{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &before);
  EXPECT_EQ(execute(0, "echo ok"), "ok\n");
  EXPECT_FALSE(execute(0, "exit 3"));
  sigaction(SIGCHLD, &before, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN) << "the ignoring is in force again afterwards";
}

TEST(WaitPid, CollectsTheChildAfterInterruptions) {
  pid_t pid = fork();
  if (pid == 0) {
    usleep(200000);
    _exit(4);
  }
  set_signal(SIGALRM, [](int) {});
  ualarm(50000, 0);
  int status = 0;
  EXPECT_EQ(wait_pid(&status, pid), pid);
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(wait_pid(&status, 1), -1) << "not a child";
  signal(SIGALRM, SIG_DFL);
}

TEST(SetSignal, InterruptsBlockingCallsInsteadOfRestartingThem) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  static int hits = 0;
  ASSERT_EQ(set_signal(SIGALRM, [](int) { ++hits; }), 0);
  ualarm(50000, 0);
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(hits, 1);
  ualarm(50000, 0);
  EXPECT_EQ(read(fds[0], &c, 1), -1) << "the handler stays installed";
  EXPECT_EQ(hits, 2);
  signal(SIGALRM, SIG_DFL);
  close(fds[0]);
  close(fds[1]);
}

TEST(ShellQuote, WordsReachTheProgramUnchanged) {
  for (std::string word : {"plain", "a b", ";reboot", "$(id)", "it's", "`x`", "\"q\"", ""})
    EXPECT_EQ(execute(0, "printf '%%s' %s", shell_quote(word).c_str()), word) << word;
}

// The title as the process list shows it, from a child that set it. The child
// is this binary again, started with a small argument and environment area.
std::string title_of_child(const std::string& title_spec, std::vector<std::string> extra_args) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> words{"/proc/self/exe", "--title-child", title_spec};
    words.insert(words.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> args;
    for (auto& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    char probe[] = "ZARN_TITLE_PROBE=kept";
    char* env[] = {probe, nullptr};
    dup2(fds[1], 1);
    execve("/proc/self/exe", args.data(), env);
    _exit(127);
  }
  close(fds[1]);
  char ready[64] = {};
  ssize_t n = read(fds[0], ready, sizeof ready - 1);
  std::string shown = zarn_test::run({"/bin/ps", "-o", "args=", "-p", std::to_string(pid)}).output;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  if (n <= 0 || std::string(ready) != "ready\n") return "child said: " + std::string(ready);
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  return shown;
}

TEST(ProcTitle, ReplacesTheArgumentsAndKeepsTheEnvironment) {
  EXPECT_EQ(title_of_child("zarn-router: listening", {"some", "arguments", "to", "make", "room"}),
            "zarn-router: listening");
}

TEST(ProcTitle, ALongTitleIsCutToTheArea) {
  // Area: "/proc/self/exe", "--title-child", "long" and the one variable.
  std::string shown = title_of_child("long", {});
  size_t area = std::string("/proc/self/exe --title-child long ZARN_TITLE_PROBE=kept").size();
  EXPECT_EQ(shown, std::string(area - 2, 'T'));
}

}  // namespace

// Child mode of the title tests: set the title, check that the environment
// still reads the same, report, and wait to be looked at.
int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--title-child") {
    std::string title = std::string(argv[2]) == "long" ? std::string(5000, 'T') : argv[2];
    initproctitle(argc, argv);
    setproctitle("%s", title.c_str());
    const char* probe = getenv("ZARN_TITLE_PROBE");
    printf("%s\n", probe && std::string(probe) == "kept" ? "ready" : "env-lost");
    fflush(stdout);
    pause();
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
