// The pinger: probes every client host of the router and records whether it answered.
#include <cstdio>

#include "libzarn/arp.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "macwatch/pause.h"
#include "macwatch/settings_rows.h"
#include "macwatch/state.h"
#include "macwatch/workers.h"

namespace {

// One pass; false when `exiting` ended it in the middle.
bool ping_pass(MYSQL* connection, const std::vector<SettingRow>& rows) {
  for (const SettingRow& row : rows) {
    if (exiting) return false;
    if (!row.device) continue;
    if (check_ipv4_address(row.ip.c_str()) != 1) {
      write_log("ARP_PINGER: Skiping address '%s' failed on preg_check\n", row.ip.c_str());
      continue;
    }
    std::optional<std::string> mac = arp_ping(row.ip.c_str(), row.device->c_str());
    if (debug_arp) {
      std::printf("Debug Pinger:IP[%s] \tINTF: [%s] \tMAC [%s]\n", row.ip.c_str(), row.device->c_str(),
                  mac ? mac->c_str() : "(null)");
      std::fflush(stdout);
      continue;
    }
    store_hostup(connection, row, mac.has_value());
  }
  return true;
}

}  // namespace

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
