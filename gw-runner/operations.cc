#include "gw-runner/operations.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "gw-runner/tool_options.h"
#include "libzarn/module.h"
#include "libzarn/config.h"
#include "libzarn/gate_forward.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"

namespace {

constexpr const char* kAccessModule = "mod_access.so";
constexpr const char* kShaperModule = "mod_shaper.so";
constexpr const char* kHostModule = "mod_hostops.so";

constexpr BindFailureRule kFirewallRule{"Internet: cannot open shared module %s\n", "Internet: %s\n", 4, 5};
constexpr BindFailureRule kShaperRule{"Bandwidth: cannot open shared module %s\n", "Bandwidth: %s\n", 4, 5};
constexpr BindFailureRule kInternetRule{"Internet: cannot open shared module %s\n", "Internet: %s\n", 2, 2};
constexpr BindFailureRule kServerRule{"System: cannot open shared module %s\n", "System: %s\n", 2, 2};
constexpr BindFailureRule kServiceRule{"Service: cannot open shared module %s\n", "Service: %s\n", 4, 5};
constexpr BindFailureRule kAuthRule{"mod_access[zarn-auth]: cannot open shared module %s\n", "Zarn-Auth: %s\n", 2, 2};
constexpr BindFailureRule kRedirectRule{"Redirect: cannot open shared module %s\n", "Redirect: %s\n", 2, 2};

// Module results: 1 is success, anything else result 6.
int success_or_6(int returned) { return returned == 1 ? 1 : 6; }
// The host-operations module's own value passes, except 2, which becomes 6.
int host_result(int returned) { return returned == 2 ? 6 : returned; }

template <typename Fn>
Fn* entry_as(const BoundEntry& bound) {
  return reinterpret_cast<Fn*>(bound.entry);
}

// Calls a bound entry point and unloads its module before the value is mapped.
template <typename Fn, typename... Args>
int call_and_unload(BoundEntry bound, Args... args) {
  int returned = entry_as<Fn>(bound)(args...);
  bound.module.reset();
  return returned;
}

}  // namespace

int op_internet(int op, int router_id, const char* other_ports) {
  BoundEntry bound = bind_entry(kAccessModule, "firewall_operation", kFirewallRule);
  if (bound.failure_status) return bound.failure_status;
  return success_or_6(call_and_unload<int(int, int, const char*)>(std::move(bound), op, router_id, other_ports));
}

int op_restrict(int type, int router_id) {
  BoundEntry bound = bind_entry(kShaperModule, "restrict_load", kShaperRule);
  if (bound.failure_status) return bound.failure_status;
  return success_or_6(call_and_unload<int(int, int)>(std::move(bound), type, router_id));
}

int internet_op(const char* entry, const char* id, int op) {
  BoundEntry bound = bind_entry_or_exit(kAccessModule, entry, kInternetRule);
  int returned = call_and_unload<int(const char*, int)>(std::move(bound), id, op);
  write_log("Internet RET: %d ClientID %s OP: %d\n", returned, id, op);
  return success_or_6(returned);
}

int server_op(int action) {
  BoundEntry bound = bind_entry_or_exit(kHostModule, "server_do", kServerRule);
  return host_result(call_and_unload<int(int)>(std::move(bound), action));
}

int service_op(const char* name, int action) {
  BoundEntry bound = bind_entry_or_exit(kHostModule, "service_do", kServiceRule);
  return host_result(call_and_unload<int(const char*, int)>(std::move(bound), name, action));
}

int auth_op(int client_id, int op) {
  BoundEntry bound = bind_entry_or_exit(kAccessModule, "zarn_auth", kAuthRule);
  return success_or_6(call_and_unload<int(int, int)>(std::move(bound), client_id, op));
}

int redirect_op(const char* client_id, int op, const char* other_ports) {
  BoundEntry bound = bind_entry_or_exit(kAccessModule, "redirect_notifier", kRedirectRule);
  return success_or_6(
      call_and_unload<int(const char*, int, const char*)>(std::move(bound), client_id, op, other_ports));
}

int start_client(const char* address, const char* mac) { return gate_forward(address, mac, 1); }

int run_tool(const char* tool, char** argv) {
  static const char* const kSearchOrder[] = {"/usr/sbin/", "/sbin/", "/bin/"};
  std::vector<std::string> words;
  for (char** word = argv + 1; *word; ++word) words.emplace_back(*word);
  if (std::optional<std::string> refused = refused_tool_word(tool, words)) {
    write_log("Error: %s option refused: %s\n", tool, refused->c_str());
    return 0;
  }
  for (const char* dir : kSearchOrder) {
    std::string path = std::string(dir) + tool;
    if (!file_exists(path.c_str())) continue;
    // The tool inherits no database connection.
    sql_close(mysql_r);
    mysql_r = nullptr;
    char* empty_env[] = {nullptr};
    execve(path.c_str(), argv, empty_env);
    return 0;
  }
  write_log("Error: connot find %s\n", tool);
  return 0;
}
