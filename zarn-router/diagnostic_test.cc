#include "zarn-router/diagnostic.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include <gtest/gtest.h>

#include "libzarn/paths.h"
#include "zarn-router/router_globals.h"

namespace {

const std::string kRunnerPath = ZARN_RUNNER;

TEST(ToolCommandLine, EveryWordIsQuoted) {
  EXPECT_EQ(tool_command_line({"arping", "-c", "1", "10.0.0.1"}), kRunnerPath + " 'arping' '-c' '1' '10.0.0.1'");
  EXPECT_EQ(tool_command_line({"mtr", ";reboot", "it's", ""}), kRunnerPath + " 'mtr' ';reboot' 'it'\\''s' ''");
}

TEST(ToolCommandLine, TheShellGivesBackTheWordsUnchanged) {
  const std::vector<std::string> words = {";reboot", "$(id)", "`id`", "it's", "a b", "", "\\n", "*", "|", "&&"};
  std::optional<std::string> line = tool_command_line(words);
  ASSERT_TRUE(line);
  // Swap the runner for printf to see what the shell makes of the words.
  std::string probe = "printf '[%s]'" + line->substr(kRunnerPath.size());
  std::optional<std::string> output = exec_command(4096, probe, 30);
  ASSERT_TRUE(output) << probe;
  EXPECT_EQ(*output, "[;reboot][$(id)][`id`][it's][a b][][\\n][*][|][&&]");
}

TEST(ToolCommandLine, LinesBeyond1023CharactersAreRefused) {
  // The runner path, a blank and the quotes take the rest of the line.
  size_t room = kMaxToolLine - kRunnerPath.size() - 3;
  EXPECT_TRUE(tool_command_line({std::string(room, 'a')}));
  EXPECT_EQ(tool_command_line({std::string(room, 'a')})->size(), kMaxToolLine);
  EXPECT_FALSE(tool_command_line({std::string(room + 1, 'a')}));
  EXPECT_FALSE(tool_command_line({std::string(room - 3, '\'')})) << "quoting counts";
}

TEST(ExecCommand, OutputOnlyFromAShellThatEndedWell) {
  EXPECT_EQ(exec_command(8192, "printf 'one\\ntwo\\n'", 30), "one\ntwo\n");
  EXPECT_EQ(exec_command(0, "printf 'one\\ntwo\\n'", 30), "one\n") << "a limit of 0 reads one line";
  EXPECT_EQ(exec_command(3, "printf 'abcdef'", 30), "abc");
  EXPECT_EQ(exec_command(8192, "true", 30), "");
  EXPECT_FALSE(exec_command(8192, "echo dropped; exit 3", 30));
}

TEST(ExecCommand, SignalsAndTimerArePutBack) {
  signal(SIGCHLD, SIG_IGN);
  EXPECT_EQ(exec_command(8192, "echo x", 30), "x\n") << "the status is seen while SIGCHLD is ignored";
  struct sigaction child {
  }, alarm{};
  sigaction(SIGCHLD, nullptr, &child);
  sigaction(SIGALRM, nullptr, &alarm);
  EXPECT_EQ(child.sa_handler, SIG_IGN);
  EXPECT_EQ(alarm.sa_handler, SIG_DFL);
  itimerval timer{};
  getitimer(ITIMER_REAL, &timer);
  EXPECT_EQ(timer.it_value.tv_sec, 0);
  EXPECT_EQ(timer.it_interval.tv_sec, 0);
  signal(SIGCHLD, SIG_DFL);
}

std::atomic<int> forks{0};

TEST(TimeOut, TheHandlerForksNothing) {
  static bool counting = [] {
    return pthread_atfork(
               nullptr, [] { ++forks; }, nullptr) == 0;
  }();
  ASSERT_TRUE(counting);
  int before = forks;
  pclose_timeout(SIGALRM);
  EXPECT_EQ(forks - before, 0) << "fork is not async-signal-safe: the run itself must start the kill";
}

TEST(TimeOut, EveryTimeOutOfARunTellsThePeerAndTheRunGoesOn) {
  int peer[2];
  ASSERT_EQ(pipe(peer), 0);
  cl = std::make_unique<client_class>();
  cl->fdout = peer[1];
  std::optional<std::string> output = exec_command(8192, "sleep 2.5; echo done", 1);
  cl->fdout = -1;
  cl.reset();
  close(peer[1]);
  std::string told;
  char buf[256];
  for (ssize_t n; (n = read(peer[0], buf, sizeof buf)) > 0;) told.append(buf, static_cast<size_t>(n));
  close(peer[0]);
  EXPECT_EQ(output, "done\n");
  const std::string reply = "300 Command trapped by timeout: 30s.\r\n";
  ASSERT_GE(told.size(), reply.size()) << "expected at least one time-out reply";
  EXPECT_EQ(told.substr(0, reply.size()), reply);
  EXPECT_EQ(told.size() % reply.size(), 0u) << told;
}

}  // namespace
