// The pinger: probes every client host of the router, all of a pass side by
// side, and records whether each answered.
#include "macwatch/pinger.h"

#include <cstdio>

#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "macwatch/pause.h"
#include "macwatch/probe_rows.h"
#include "macwatch/state.h"
#include "macwatch/workers.h"

bool ping_pass(MYSQL* connection, const std::vector<SettingRow>& rows) {
  std::vector<const SettingRow*> asked;
  for (const SettingRow& row : rows) {
    if (exiting) return false;
    if (!row.device) continue;
    if (check_ipv4_address(row.ip.c_str()) != 1) {
      write_log("ARP_PINGER: Skiping address '%s' failed on preg_check\n", row.ip.c_str());
      continue;
    }
    asked.push_back(&row);
  }
  std::vector<ArpProbeResult> results = probe_rows(asked);
  bool whole = true;
  // The changed rows are written together, many to a round trip: a far
  // database would otherwise cost one round trip per changed host.
  std::vector<std::string> updates;
  for (size_t i = 0; i < asked.size(); ++i) {
    const SettingRow& row = *asked[i];
    const ArpProbeResult& result = results[i];
    if (!result.probed) {
      whole = false;
      continue;
    }
    if (debug_arp) {
      std::printf("Debug Pinger:IP[%s] \tINTF: [%s] \tMAC [%s]\n", row.ip.c_str(), row.device->c_str(),
                  result.mac ? result.mac->c_str() : "(null)");
      continue;
    }
    if (std::optional<std::string> update = hostup_update(row, result.mac.has_value())) updates.push_back(*update);
  }
  sql_execute_all(connection, updates);
  std::fflush(stdout);
  return whole;
}

void start_pinger() {
  MYSQL* connection = sql_connect();
  mysql_r = connection;
  bool mid_pass = false;
  while (!exiting) {
    std::optional<std::vector<SettingRow>> rows = select_settings(connection, kPingerQuery, router_id);
    if (!rows) {
      write_log("Mysql conn lost sleeping\n");
      pause_seconds(10);
      continue;
    }
    if (rows->empty()) pause_seconds(10);
    if (!ping_pass(connection, *rows)) {
      mid_pass = true;
      break;
    }
  }
  if (!mid_pass) write_log("MACWATCH: Pinger got exiting signal.\n");
  sql_close(connection);
  mysql_r = nullptr;
}
