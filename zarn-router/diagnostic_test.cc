#include "zarn-router/diagnostic.h"

#include <signal.h>

#include <cstring>

#include <gtest/gtest.h>

#include "libzarn/paths.h"

namespace {

const std::string kRunnerPath = ZARN_RUNNER;

TEST(ToolCommandLine, EveryWordIsQuoted) {
  EXPECT_EQ(tool_command_line({"arping", "-c", "1", "10.0.0.1"}),
            kRunnerPath + " 'arping' '-c' '1' '10.0.0.1'");
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
  struct sigaction child {}, alarm {};
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

}  // namespace
