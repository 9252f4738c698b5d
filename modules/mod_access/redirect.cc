#include "modules/mod_access/redirect.h"

#include <string>

#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/rule_lookup.h"
#include "modules/mod_access/module_state.h"
#include "modules/mod_access/queries.h"
#include "modules/mod_access/row_checks.h"

namespace {

// Adds (-A) or removes (-D) one address's mark rule.
int mark_rule(char action, const std::string& ip, const char* other_ports) {
  if (!is_host_address(ip)) return skip_row("ip", ip);
  std::string chain = unpaid_chain(ip);
  if (other_ports)
    return firewall_exec(access_queries::kMarkRuleWithPorts, action, chain.c_str(), ip.c_str(), other_ports);
  return firewall_exec(access_queries::kMarkRule, action, chain.c_str(), ip.c_str());
}

}  // namespace

extern "C" int redirect_notifier(const char* cid, int type, const char* other_ports) {
  HandlerScope handlers;
  if (!is_decimal_id(cid)) {
    return 0;
  }
  // The ports become words of a multiport match, which ends the process on a
  // list it cannot read.
  if (other_ports && !is_port_list(other_ports, kExtraMarkPorts)) {
    skip_row("other_ports", other_ports);
    return 0;
  }
  std::string escaped = slash_this(cid);
  SqlResult res = sql_query(mysql_r, "SELECT ip FROM internet_settings WHERE cid='%s'", escaped.c_str());
  if (!res || sql_num_rows(res.get()) == 0) {
    return 0;
  }
  int failures = 0;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    std::string ip = row[0] ? row[0] : "";
    // Counted in the handle the removals below go through: one reading of the
    // table for both, and no change by another process in between.
    int count = notifier_marks_in(session_table(table_session(), "mangle"), ip, 80);
    if (debug_mod_internet)
      write_log("Redirs[%s]: %d OtherPorts: '%s' Type: %d\n", ip.c_str(), count, other_ports ? other_ports : "(null)",
                type);
    if (count < 0) continue;
    if (type == 1) {
      if (count == 0 && !mark_rule('A', ip, other_ports)) ++failures;
    } else if (type == 0) {
      if (count == 0) ++failures;
      for (int i = 0; i < count; ++i)
        if (!mark_rule('D', ip, other_ports)) ++failures;
    }
  }
  return failures == 0 ? 1 : 0;
}
