#include "zarn-router/router_functions.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "zarn-router/router_globals.h"

namespace {

// Details of the last run, for the firewall command's log line.
struct RunDetails {
  int exit_status = 0;
  pid_t waited = 0;
  pid_t child = 0;
};

RunDetails start_and_wait(const std::vector<std::string>& args, const char* fork_failure_message) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("gw-runner"));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  RunDetails details;
  details.child = fork();
  if (details.child < 0) {
    write_log("%s", fork_failure_message);
    return details;
  }
  if (details.child == 0) {
    signal(SIGPIPE, SIG_DFL);  // the daemon's ignoring is not the runner's business
    execv(ZARN_RUNNER, argv.data());
    _exit(kExecFailed);
  }
  int status = 0;
  details.waited = wait_pid(&status, details.child);
  if (details.waited == details.child && WIFEXITED(status)) details.exit_status = WEXITSTATUS(status);
  return details;
}

std::vector<std::string> with_other_ports(std::vector<std::string> args) {
  if (g.other_ports) args.push_back(*g.other_ports);
  return args;
}

}  // namespace

int run_runner(const std::vector<std::string>& args, const char* fork_failure_message) {
  return start_and_wait(args, fork_failure_message).exit_status;
}

int fire_command(const std::string& action) {
  errno = 0;
  RunDetails run = start_and_wait(with_other_ports({"internet", action, std::to_string(g.router_id)}),
                                  "Firewall command: Could not execute wrapper\n");
  int error = errno;
  if (run.child < 0) return 0;
  write_log("ZarnRouter: Firewall command exitc [%d] waitp [%d] pid [%d] errno [%d]\nError: '%s'\n",
            run.exit_status, run.waited, run.child, error, std::strerror(error));
  return run.exit_status;
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
