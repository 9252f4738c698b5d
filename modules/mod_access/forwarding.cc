#include "modules/mod_access/forwarding.h"

#include <strings.h>

#include <cstdlib>
#include <string>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/rule_lookup.h"
#include "modules/mod_access/module_state.h"
#include "modules/mod_access/redirect.h"
#include "modules/mod_access/row_checks.h"
#include "modules/mod_access/set_build.h"

namespace {

bool mac_missing(const char* mac) { return !mac || !*mac || std::string(mac) == "0"; }

// The kernel prints MACs in upper case; a stored one may be in either.
bool same_mac(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

int chain_forward(const std::string& ip, const char* mac, const std::string& net, int op, int skip_lookup) {
  std::string src = source_name(net);
  std::string dst = destination_name(net);
  std::string src_prefix = std::string(op == 1 ? "-t filter -A " : "-t filter -D ") + src;
  std::string dst_prefix = std::string(op == 1 ? "-t filter -A " : "-t filter -D ") + dst;
  if (mac_missing(mac) || ip.empty()) {
    if (debug_mod_internet)
      write_log("Debug Error:'%s -s %s -m mac --mac-source %s -j ACCEPT'\n", src_prefix.c_str(), ip.c_str(),
                mac ? mac : "(null)");
    return 0;
  }
  size_t found = 0;
  if (skip_lookup != 1) {
    std::optional<MacList> macs = GetForward_Source_IpMac(ip, src);
    found = macs ? macs->size() : 0;
    if (debug_mod_internet) write_log("Forward entrys found: %d\n", static_cast<int>(found));
    if (macs) {
      for (const auto& entry : *macs) {
        if (!entry) {
          write_log(
              "Error: Client with ip '%s' has forward with no mac\nError: This entry will not be deleted by the "
              "program.\n",
              ip.c_str());
          continue;
        }
        if (op == 1 || !same_mac(*entry, mac))
          firewall_exec("-t filter -D %s -s %s -m mac --mac-source %s -j ACCEPT", src.c_str(), ip.c_str(),
                        entry->c_str());
      }
    }
    if (use_destination) {
      int n = GetForward_Destination(ip, dst);
      for (int i = 0; i < n; ++i) firewall_exec("-t filter -D %s -d %s -j ACCEPT", dst.c_str(), ip.c_str());
    }
  }
  if (op != 0 || found > 0) {
    if (!firewall_exec("%s -s %s -m mac --mac-source %s -j ACCEPT", src_prefix.c_str(), ip.c_str(), mac)) return 0;
    if (use_destination && op != 0 && !firewall_exec("%s -d %s -j ACCEPT", dst_prefix.c_str(), ip.c_str())) return 0;
    return 1;
  }
  return 0;
}

// The row's value or the empty text.
const char* col(MYSQL_ROW row, int i) { return row[i] ? row[i] : ""; }

}  // namespace

extern "C" int ipset_forward(const char* ip_text, const char* mac, const char* class_net, int op, int skip_lookup) {
  std::string ip = ip_text ? ip_text : "";
  const std::string net = class_net ? class_net : "";
  const char* verb = op == 1 ? "-A " : "-D ";
  if (mac_missing(mac) || ip.empty()) {
    if (debug_mod_ipset)
      write_log("Debug Error:'%s%s %s,%s'\n", verb, source_name(net).c_str(), ip.c_str(), mac ? mac : "(null)");
    return 0;
  }
  // A firewall build queues the add of a paid row itself, without the
  // command text (made only where the debug log shows it).
  if (op == 1 && skip_lookup == 1 && set_build_running() && !debug_mod_ipset) return set_build_add(net, ip, mac);
  std::string set = source_name(net);
  std::string prefix = verb + set;
  size_t found = 0;
  if (skip_lookup != 1) {
    std::optional<MacList> macs = ipset_GetForward_Source_IpMac(ip, set);
    found = macs ? macs->size() : 0;
    if (debug_mod_ipset) write_log("ip_set entrys found: %d\n", static_cast<int>(found));
    if (macs) {
      for (const auto& entry : *macs) {
        if (!entry) {
          write_log(
              "Error_ipset: Client with ip '%s' has forward with no mac\nError_ipset: This entry will not be deleted "
              "by the program.\n",
              ip.c_str());
          continue;
        }
        if (op == 1 || !same_mac(*entry, mac)) ipset_exec("-D %s %s,%s", set.c_str(), ip.c_str(), entry->c_str());
      }
    }
  }
  if (op != 0 || found > 0) {
    if (ipset_exec("%s %s,%s", prefix.c_str(), ip.c_str(), mac)) return 1;
  }
  return 0;
}

extern "C" int forward(const char* ip_text, const char* mac, int op, int skip_lookup) {
  std::string ip = ip_text ? ip_text : "";
  if (debug_mod_ipset) write_log("in forward (%s,%s)\n", ip.c_str(), mac ? mac : "(null)");
  // The values become words of a set entry or a rule: anything more is refused.
  if (!ip.empty() && !is_host_address(ip)) return skip_row("ip", ip);
  if (!mac_missing(mac) && !is_mac_address(mac)) return skip_row("mac", mac);
  std::optional<std::string> net = find_class(ip);
  if (!net) {
    write_log("Error_ipset:Could not aquire subnet for ip: %s\n", ip.c_str());
    return 0;
  }
  if (use_ipset) {
    if (debug_mod_ipset)
      write_log("use_ipset: %d %s %s %s\n", use_ipset, ip.c_str(), mac ? mac : "(null)", net->c_str());
    return ipset_forward(ip.c_str(), mac, net->c_str(), op, skip_lookup);
  }
  return chain_forward(ip, mac, *net, op, skip_lookup);
}

extern "C" int op_ip(const char* id, int op) {
  HandlerScope handlers;
  if (!is_decimal_id(id)) {
    return 0;
  }
  std::string escaped = slash_this(id);
  SqlResult res = sql_query(mysql_r,
                            "SELECT a.ip,a.mac,b.password,a.cid,a.active FROM internet_settings as a left join "
                            "internet_gate_auth as b on a.id = b.sid WHERE a.id='%s' and a.mac <> '0' and a.mac <> '' "
                            "and (a.active = '1' or a.active = '123') ORDER BY a.id ASC",
                            escaped.c_str());
  if (!res || sql_num_rows(res.get()) == 0) {
    return 0;
  }
  bool failed = false;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    if (row[2] && op != 0) continue;  // gate clients are opened by their login
    if (!forward(col(row, 0), col(row, 1), op, 0)) {
      failed = true;
      if (debug_mod_internet) write_log("Error [op_ip] forward for id: %s\n", id);
    }
    if (std::atoi(col(row, 4)) == 1 && op == 1 && !redirect_notifier(col(row, 3), 0, nullptr))
      write_log("mod_internet: Cannot remove notifier setting for CID: %d\n", std::atoi(col(row, 3)));
  }
  return failed ? 0 : 1;
}

extern "C" int op_client(const char* cid_text, int op) {
  const char* cid = cid_text ? cid_text : "";
  HandlerScope handlers;
  if (!is_decimal_id(cid)) {
    return 0;
  }
  std::string escaped = slash_this(cid);
  SqlResult res =
      sql_query(mysql_r,
                "SELECT a.ip,a.mac,b.password FROM internet_settings as a left join internet_gate_auth as b "
                "on a.id=b.sid WHERE a.cid='%s' and a.mac <> '0' and a.mac <> '' ORDER BY a.id ASC",
                escaped.c_str());
  if (!res || sql_num_rows(res.get()) == 0) {
    if (debug_mod_internet) write_log("Could not activate client %s due to failure of sql seach\n", cid);
    return 0;
  }
  const int cid_number = std::atoi(cid);
  bool failed = false;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    if (debug_mod_internet) write_log("Mysql info %s %s\n", col(row, 0), cid);
    if (!row[2] || op == 0) {
      if (!forward(col(row, 0), col(row, 1), op, 0)) {
        failed = true;
        if (debug_mod_internet) write_log("Error [op_client] forward for id: %s\n", cid);
      }
      if (op != 0) {
        if (!redirect_notifier(cid, 0, nullptr))
          write_log("mod_internet: Cannot remove notifier for CID: %d\n", cid_number);
      } else if (!redirect_notifier(cid, 1, nullptr)) {
        write_log("mod_internet: Cannot add notifier for CID: %d\n", cid_number);
      }
    } else if (!redirect_notifier(cid, 0, nullptr)) {
      write_log("mod_internet: Cannot remove notifier for CID: %d\n", cid_number);
    }
  }
  if (failed) {
    if (debug_mod_internet) write_log("Could not activate client %s due to errors\n", cid);
    return 0;
  }
  if (debug_mod_internet) write_log("Activate ok CID: %s\n", cid);
  return 1;
}

extern "C" int zarn_auth(int cid, int op) {
  HandlerScope handlers;
  if (debug_mod_internet) write_log("Handlers Ok\n");
  SqlResult res = sql_query(mysql_r,
                            "SELECT a.ip,a.mac,b.pass FROM internet_settings as a left join internet_vpn as b on "
                            "a.cid = b.cid WHERE a.cid='%d' and a.mac <> '0' and a.mac <> '' ORDER BY a.id ASC",
                            cid);
  if (!res || sql_num_rows(res.get()) == 0) {
    if (debug_mod_internet) write_log("Result is null or 0 rows\n");
    return 0;
  }
  if (debug_mod_internet) write_log("Result Ok\n");
  bool failed = false;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    if (!row[2]) continue;
    if (debug_mod_internet) write_log("Row[2] != NULL\n");
    if (!forward(col(row, 0), col(row, 1), op, 0)) {
      write_log("mod_internet error: step 3\n");
      write_log("Error [zarn_auth] forward for cid: %d\n", cid);
      failed = true;
    }
  }
  if (failed) {
    write_log("mod_internet error: returning 0\n");
    return 0;
  }
  return 1;
}
