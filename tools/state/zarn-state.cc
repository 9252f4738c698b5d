// zarn-state: compares what the router's kernel holds with what the database
// says it should hold, and repairs the differences without a rebuild.
//   zarn-state verify [--json]
//   zarn-state repair
//   zarn-state status [--json]
//   zarn-state metrics
// Exit status: 0 nothing differs (or all was repaired), 1 differences
// (or some could not be repaired), 2 an error; status and metrics give 0
// unless there is an error.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/sql.h"
#include "modules/mod_access/row_checks.h"
#include "tools/state/state_load.h"
#include "tools/state/state_repair.h"
#include "tools/state/state_report.h"
#include "tools/state/state_status.h"

namespace {

constexpr const char* kNotifierConf = ZARN_PATH("conf/zarn-notifier.conf");

int usage() {
  std::fprintf(stderr, "usage: zarn-state verify [--json] | repair | status [--json] | metrics\n");
  return 2;
}

int fail(const std::string& message) {
  write_log("zarn-state: Error: %s\n", message.c_str());
  std::fprintf(stderr, "zarn-state: %s\n", message.c_str());
  return 2;
}

// One key of a configuration file, or nothing.
std::optional<std::string> config_value(const char* path, const char* key) {
  std::optional<std::string> text = file_get_contents(path);
  if (!text) return std::nullopt;
  std::optional<std::string> value;
  const ConfigKey keys[] = {{key, &value}};
  scan_config(*text, keys);
  return value;
}

// A port list as a start takes it for the marks: ports and ranges that fit
// the multiport match beside port 80 (a start leaves any other value out).
bool port_list(const std::string& text) { return is_port_list(text, kExtraMarkPorts); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  bool json = argc > 2 && std::strcmp(argv[2], "--json") == 0;
  bool takes_json = command == "verify" || command == "status";
  if (command != "verify" && command != "repair" && command != "status" && command != "metrics") return usage();
  if (argc > 2 && !(json && argc == 3 && takes_json)) return usage();
  conf_file = ZARN_ROUTER_CONF;
  extern_error_log = ZARN_PATH("logs/zarn-state.log");
  mysql_r = sql_connect();
  if (!mysql_r) return fail("cannot connect to the database");
  std::string error;
  std::optional<std::string> listen = config_value(conf_file, "listenaddr");
  if (!listen) {
    sql_close(mysql_r);
    return fail("no listenaddr in the router configuration");
  }
  std::optional<zarn_state::RouterState> state = zarn_state::load_state(mysql_r, *listen, &error);
  if (!state) {
    sql_close(mysql_r);
    return fail(error);
  }
  int status = state->differences.empty() ? 0 : 1;
  if (command == "verify") {
    std::fputs(json ? zarn_state::verify_json(state->rid, state->differences, state->desired).c_str()
                    : zarn_state::verify_text(state->differences, state->desired).c_str(),
               stdout);
  } else if (command == "status") {
    std::fputs(json ? zarn_state::status_json(state->rid, state->desired, state->held, state->shaping).c_str()
                    : zarn_state::status_text(state->desired, state->held, state->shaping).c_str(),
               stdout);
    status = 0;
  } else if (command == "metrics") {
    std::fputs(zarn_state::metrics_text(state->rid, state->desired, state->held, state->differences).c_str(), stdout);
    status = 0;
  } else {
    std::optional<std::string> other_ports = config_value(kNotifierConf, "other_ports");
    if (other_ports && !port_list(*other_ports)) {
      sql_close(mysql_r);
      return fail("other_ports in " + std::string(kNotifierConf) + " is not a port list: " + *other_ports);
    }
    std::optional<zarn_state::RepairResult> result =
        zarn_state::repair(state->differences, state->desired.networks, other_ports, &error);
    if (!result || !zarn_state::repair_shaping(state->differences, state->rid, *result, &error)) {
      sql_close(mysql_r);
      return fail(error);
    }
    std::printf("fixed %d, failed %d, needing a full start %d\n", result->fixed, result->failed,
                result->needs_full_start);
    if (result->needs_full_start)
      std::printf("A set or chain is missing: run a full start (internet start) instead.\n");
    status = result->failed || result->needs_full_start ? 1 : 0;
  }
  sql_close(mysql_r);
  return status;
}
