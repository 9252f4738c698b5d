#include "zarn-router/router_functions.h"

#include <algorithm>
#include <cstring>

#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "zarn-router/router_globals.h"

namespace {

// Starts the runner with `args` (after its name) and waits for it; a failed fork is logged.
ProgramRun start_and_wait(const std::vector<std::string>& args, const char* fork_failure_message) {
  std::vector<std::string> argv{"gw-runner"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramRun run = run_program(ZARN_RUNNER, argv, kExecFailed);
  if (!run.started()) write_log("%s", fork_failure_message);
  return run;
}

std::vector<std::string> with_other_ports(std::vector<std::string> args) {
  if (g.other_ports) args.push_back(*g.other_ports);
  return args;
}

}  // namespace

int run_runner(const std::vector<std::string>& args, const char* fork_failure_message) {
  return std::max(start_and_wait(args, fork_failure_message).exit_code(), 0);
}

int fire_command(const std::string& action) {
  ProgramRun run = start_and_wait(with_other_ports({"internet", action, std::to_string(g.router_id)}),
                                  "Firewall command: Could not execute wrapper\n");
  if (!run.started()) return 0;
  int exit_status = std::max(run.exit_code(), 0);
  write_log("ZarnRouter: Firewall command exitc [%d] waitp [%d] pid [%d] errno [%d]\nError: '%s'\n", exit_status,
            run.waited, run.pid, run.wait_errno, std::strerror(run.wait_errno));
  return exit_status;
}

int client_command(const std::string& action, const std::string& id) {
  return run_runner({"internet", action, id}, "Client command: Could not execute wrapper\n");
}

int redirect_command(const std::string& action, const std::string& id) {
  return run_runner(with_other_ports({"redirect", action, id}), "Redirect command: Could not execute wrapper\n");
}

int restrict_command(const std::string& action, const std::string& id) {
  return run_runner({"restrict", action, id, std::to_string(g.router_id)},
                    "Restrict command: Could not execute wrapper\n");
}

int system_command(const std::string& action) {
  return run_runner({"server", action}, "Firewall command: Could not execute wrapper\n");
}
