#include "modules/mod_access/module_state.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "libzarn/process.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/command_words.h"
#include "modules/mod_access/iptables_command.h"
#include "modules/mod_access/ipset_command.h"
#include "modules/mod_access/set_build.h"

extern "C" {
int use_ipset = 1;
int use_destination = 0;
int debug_mod_internet = 0;
int debug_mod_ipset = 0;
}

namespace {

TableSession session;

}  // namespace

TableSession& table_session() { return session; }

extern "C" int init_handlers() {
  fill_classes();
  return 1;
}

extern "C" int close_handlers() {
  session_close(session);
  if (use_ipset) return ipset_close();
  return 0;
}

namespace {

// Runs one formatted line through an interpreter, with the debug lines of its switch.
template <typename Interpreter>
int exec_line(const char* fmt, va_list args, int debug, const char* program, Interpreter interpret) {
  std::string line = vformat(fmt, args);
  if (debug) write_log("Command [%s]\n", line.c_str());
  std::vector<std::string> words = get_argv(line);
  std::vector<char*> argv = argument_vector(words, program);
  int result = interpret(static_cast<int>(words.size()), argv.data());
  if (debug) write_log("Res: %d\n", result);
  return result == 1 ? 1 : 0;
}

}  // namespace

extern "C" int firewall_exec(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int ok = exec_line(fmt, args, debug_mod_internet, "iptables",
                     [](int argc, char** argv) { return do_command(argc, argv, session); });
  va_end(args);
  return ok;
}

extern "C" int ipset_exec(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int ok = exec_line(fmt, args, debug_mod_ipset, "ipset", [](int argc, char** argv) {
    return set_build_running() ? set_build_command(argc, argv) : ipset_do_command(argc, argv);
  });
  va_end(args);
  return ok;
}

int firewall_exec_refusable(const std::string& line) {
  // The interpreter ends the process on some parse errors (libxtables'
  // exit_err must not return): a child with a copy of the pending tables
  // tries the line first, and only a line it survived is run here, where it
  // behaves the same. The child never commits.
  std::fflush(stdout);
  std::fflush(stderr);
  struct sigaction dfl {
  }, saved{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGCHLD, &dfl, &saved);
  pid_t pid = fork();
  if (pid == 0) {
    iptables_fatal_ends_child();
    std::vector<std::string> words = get_argv(line);
    std::vector<char*> argv = argument_vector(words, "iptables");
    do_command(static_cast<int>(words.size()), argv.data(), session);
    _exit(0);
  }
  int status = 0;
  bool survived = pid > 0 && wait_pid(&status, pid) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  sigaction(SIGCHLD, &saved, nullptr);
  if (!survived) return -1;
  return firewall_exec("%s", line.c_str());
}
