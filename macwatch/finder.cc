// The finder and the reader: fill in missing MAC addresses and open the
// forwarding of active settings whose address was just learned; the finder
// probes the hosts missing from the kernel's table side by side.
#include <string>

#include "libzarn/arp.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "macwatch/pause.h"
#include "macwatch/probe_rows.h"
#include "macwatch/runner_call.h"
#include "macwatch/settings_rows.h"
#include "macwatch/state.h"
#include "macwatch/workers.h"

namespace {

// How the finder and the reader differ.
struct Learner {
  const char* skip_message;  // an address that fails the IPv4 check
  const char* exit_message;
  bool probe;             // probe a host missing from the table
  double pause_per_read;  // after each table read
  double pause_per_pass;  // after every pass that ran its query
};

constexpr Learner kFinder = {"MACWATCH: Skiping address '%s' failed on preg_check\n",
                             "MACWATCH: Finder got exiting signal.\n", true, 0, 0};
constexpr Learner kReader = {"ARP_READER: Skiping address '%s' failed on preg_check\n",
                             "ARP_READER: Finder got exiting signal.\n", false, 0.2, 5};

void use_learned(MYSQL* connection, const SettingRow& row, const std::optional<std::string>& mac) {
  if (!mac || mac->size() != 17) return;
  store_mac(connection, row, *mac);
  if (opens_forwarding(row)) internet_op(row.id.c_str(), 1);
}

// One pass over the settings: table reads first, then one round of probes
// for the rows the table did not know; false when `exiting` ended it.
bool learn_pass(MYSQL* connection, const Learner& learner, const std::vector<SettingRow>& rows) {
  std::vector<const SettingRow*> unknown;
  for (const SettingRow& row : rows) {
    if (!row.device) continue;
    if (exiting) return false;
    if (check_ipv4_address(row.ip.c_str()) != 1) {
      write_log(learner.skip_message, row.ip.c_str());
      continue;
    }
    std::optional<std::string> mac = get_arp(row.ip.c_str(), row.device->c_str());
    if (learner.pause_per_read > 0) pause_seconds(learner.pause_per_read);
    if (!mac && learner.probe)
      unknown.push_back(&row);
    else
      use_learned(connection, row, mac);
  }
  if (unknown.empty()) return true;
  std::vector<ArpProbeResult> results = probe_rows(unknown);
  bool whole = true;
  for (size_t i = 0; i < unknown.size(); ++i) {
    if (results[i].probed)
      use_learned(connection, *unknown[i], results[i].mac);
    else
      whole = false;
  }
  return whole;
}

void learn_loop(const Learner& learner) {
  MYSQL* connection = sql_connect();
  mysql_r = connection;
  while (!exiting) {
    std::optional<std::vector<SettingRow>> rows = select_settings(connection, kMissingMacQuery, router_id);
    if (!rows) {
      write_log("Mysql conn lost sleeping\n");
      pause_seconds(10);
      continue;
    }
    if (rows->empty()) pause_seconds(10);
    if (!learn_pass(connection, learner, *rows)) break;
    if (learner.pause_per_pass > 0) pause_seconds(learner.pause_per_pass);
  }
  write_log("%s", learner.exit_message);
  sql_close(connection);
  mysql_r = nullptr;
}

}  // namespace

void start_finder() { learn_loop(kFinder); }
void start_reader() { learn_loop(kReader); }
