#include "modules/mod_hostops/hostops.h"

#include <cctype>
#include <cstring>

#include "libzarn/log.h"
#include "libzarn/process.h"

namespace {

constexpr const char* kInitControl = "/bin/systemctl";
constexpr size_t kUnitNameMax = 255;

// Results: 1 done, 2 the init system refused, 0 not attempted.
constexpr int kDone = 1;
constexpr int kFailed = 2;
constexpr int kRefused = 0;

// Runs the command without a shell and with an empty environment.
int run(const std::vector<std::string>& command) {
  char* empty_env[] = {nullptr};
  ProgramRun run = run_program(command[0].c_str(), command, 127, empty_env);
  return run.exit_code() == 0 ? kDone : kFailed;
}

}  // namespace

bool is_plain_unit_name(const std::string& name) {
  if (name.empty() || name.size() > kUnitNameMax) return false;
  if (name[0] == '-' || name[0] == '.') return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && !std::strchr(":-_.\\@", c)) return false;
  return true;
}

std::vector<std::string> service_command(const std::string& name, int action) {
  static const char* const kVerbs[] = {"stop", "start", "restart", "reload"};
  if (action < 0 || action > 3 || !is_plain_unit_name(name)) return {};
  return {kInitControl, kVerbs[action], "--", name};
}

std::vector<std::string> server_command(int action) {
  if (action == 1) return {kInitControl, "reboot"};
  if (action == 2) return {kInitControl, "poweroff"};
  return {};
}

extern "C" int server_do(int action) {
  std::vector<std::string> command = server_command(action);
  if (command.empty()) return kRefused;
  return run(command);
}

extern "C" int service_do(const char* name, int action) {
  std::vector<std::string> command = service_command(name ? name : "", action);
  if (command.empty()) {
    write_log("Service: refused service name or action\n");
    return kRefused;
  }
  return run(command);
}
