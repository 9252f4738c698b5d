// Diagnostic tool runs (arping, tcpdump, mtr) through the runner and the
// shell, with a repeating time-out that asks the runner to stop captures.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Longest command line a diagnostic run may have.
inline constexpr size_t kMaxToolLine = 1023;
// Time limit of a diagnostic run, in seconds.
inline constexpr int kToolSeconds = 30;
// Most output bytes of a run sent to the master.
inline constexpr int kToolOutputLimit = 8192;

// "/zarn/bin/gw-runner" and each word shell-quoted, so that every word reaches
// the runner as it came; nothing when the line would exceed kMaxToolLine.
std::optional<std::string> tool_command_line(const std::vector<std::string>& words);

// Runs `command_line` through the shell with SIGALRM armed every `seconds`.
// With `output_limit` above 0 reads up to that many bytes, else one line.
// The output when the shell ended with status 0, else nothing.
std::optional<std::string> exec_command(int output_limit, const std::string& command_line, int seconds);

// SIGALRM during a run: records the time-out for the run, which then asks the
// runner to kill tcpdump, waits for it and tells the peer. Only writes one
// byte to a pipe, so it forks nothing.
void pclose_timeout(int);
