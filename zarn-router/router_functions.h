// Starting the privileged runner for a command and mapping its exit status.
#pragma once

#include <string>
#include <vector>

// Exit status of a runner that did its work.
inline constexpr int kRunnerSuccess = 1;
// Status of the child when the runner could not be executed.
inline constexpr int kExecFailed = 5;

// Forks and executes the runner with `args` (after the program name) and waits
// for it. The runner's exit status, or 0 when the fork failed (after logging
// `fork_failure_message`).
int run_runner(const std::vector<std::string>& args, const char* fork_failure_message);

// The launchers: the runner's exit status, or 0 when the fork failed.
// other_ports is added last (firewall, redirect) only when the notifier file set it.
int fire_command(const std::string& action);
int client_command(const std::string& action, const std::string& id);
int redirect_command(const std::string& action, const std::string& id);
int restrict_command(const std::string& action, const std::string& id);
int system_command(const std::string& action);
