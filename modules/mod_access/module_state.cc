#include "modules/mod_access/module_state.h"

#include <cstdarg>
#include <string>
#include <vector>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/iptables_command.h"
#include "modules/mod_access/ipset_command.h"

extern "C" {
int use_ipset = 1;
int use_destination = 0;
int debug_mod_internet = 0;
int debug_mod_ipset = 0;
}

namespace {

TableSession session;

// Splits a command line the way the interpreters expect it: at every single
// blank (two blanks make an empty argument), slot 0 a placeholder.
std::vector<char*> argument_vector(std::vector<std::string>& words, const char* program) {
  words[0] = program;
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

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
  int ok = exec_line(fmt, args, debug_mod_ipset, "ipset", ipset_do_command);
  va_end(args);
  return ok;
}
