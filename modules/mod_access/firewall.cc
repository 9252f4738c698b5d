#include "modules/mod_access/firewall.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/forwarding.h"
#include "modules/mod_access/module_state.h"
#include "modules/mod_access/queries.h"
#include "modules/mod_access/query_ahead.h"
#include "modules/mod_access/row_checks.h"
#include "modules/mod_access/set_build.h"

namespace {

constexpr const char* kRouterPorts = ZARN_PATH("conf/router-ports");
constexpr const char* kRouterRules = ZARN_PATH("conf/router-iptables");
// A set holds at most 65536 addresses.
constexpr unsigned long kWidestSetPrefix = 16;

// The lines of an operator file as read through a 1023-character buffer
// (a longer line comes in pieces), a CR LF line end taken as a line feed;
// nothing when the file is missing.
std::vector<std::string> operator_lines(const char* path) {
  std::vector<std::string> lines;
  FILE* f = std::fopen(path, "r");
  if (!f) return lines;
  char buf[1024];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line = buf;
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.erase(line.size() - 2, 1);
    lines.push_back(std::move(line));
  }
  std::fclose(f);
  return lines;
}

// Runs a counted command: a failure adds one to the counter.
struct Counter {
  int value = 1;
  void operator()(int ok) { value += ok ? 0 : 1; }
};

void reset_tables(Counter& count) {
  static const char* const kReset[] = {
      "-P OUTPUT ACCEPT", "-P FORWARD ACCEPT", "-P INPUT ACCEPT", "-F",        "-X",       "-t mangle -F",
      "-t mangle -X",     "-t nat -F",         "-t nat -X",       "-t raw -F", "-t raw -X"};
  for (const char* line : kReset) count(firewall_exec("%s", line));
}

// Adds one internal network: its accept rules, its set (or chains) and its
// unpaid chain. A second row for the same network, and in set mode a network
// wider than a set can hold, are skipped.
void add_network(Counter& count, const std::string& net, std::set<std::string>& seen) {
  if (!is_network(net)) {
    count(skip_row("net", net));
    return;
  }
  NetNumbers n = net_numbers(net);
  std::string src = source_name(net);
  if (!seen.insert(src).second) {
    count(skip_row("net (a second row)", net));
    return;
  }
  if (use_ipset && n.m < kWidestSetPrefix) {
    count(skip_row("net (wider than /16)", net));
    return;
  }
  const char* s = net.c_str();
  count(firewall_exec("-A OUTPUT -s %s -j ACCEPT", s));
  count(firewall_exec("-A FORWARD -d %s -j ACCEPT", s));
  if (use_ipset) {
    // The rule names the set: without it the line could not even be read.
    bool made = set_build_create(src, net);
    count(made);
    // "src,src": the set's second dimension, the MAC, is the frame's source too;
    // with a lone "src" the kernel compares the destination MAC (the router's own).
    if (made) count(firewall_exec("-A FORWARD -s %s -m set --match-set %s src,src -j ACCEPT", s, src.c_str()));
  } else {
    count(firewall_exec("-N %s", src.c_str()));
    count(firewall_exec("-A FORWARD -s %s -j %s", s, src.c_str()));
    if (use_destination) {
      std::string dst = destination_name(net);
      count(firewall_exec("-N %s", dst.c_str()));
      count(firewall_exec("-A FORWARD -d %s -j %s", s, dst.c_str()));
    }
  }
  std::string unpaid = unpaid_chain(net);
  count(firewall_exec("-t mangle -N %s", unpaid.c_str()));
  count(firewall_exec("-t mangle -A PREROUTING -s %s -j %s", s, unpaid.c_str()));
}

// A field of a router-ports line: something, and no blank or control character
// that would add words or bytes to the rule.
bool plain_field(const std::string& field) {
  if (field.empty()) return false;
  for (char c : field)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  return true;
}

// Runs one port opening; a line the interpreter cannot take is skipped, logged and counted.
void open_ports(Counter& count, const std::string& rule, const std::string& line) {
  int r = firewall_exec_refusable(rule);
  count(r < 0 ? skip_row("router-ports line", line) : r);
}

void add_port_openings(Counter& count) {
  for (const std::string& line : operator_lines(kRouterPorts)) {
    if (line.empty() || line[0] == '\n' || line[0] == '#') continue;
    std::vector<std::string> f = splitStr(line, "|");
    if (f.size() < 3) continue;
    std::string shown = str_replace(line, "\n", "");
    if (!plain_field(f[0]) || !plain_field(f[1]) || !plain_field(f[2])) {
      count(skip_row("router-ports line", shown));
      continue;
    }
    std::string prefix = "-A INPUT";
    if (f[2] != "all") prefix += " -i " + f[2];
    if (f[1] == "all") {
      open_ports(count, prefix + " -p tcp -m multiport --dports " + f[0] + " -j ACCEPT", shown);
      open_ports(count, prefix + " -p udp -m multiport --dports " + f[0] + " -j ACCEPT", shown);
    } else {
      open_ports(count, prefix + " -p " + f[1] + " -m multiport --dports " + f[0] + " -j ACCEPT", shown);
    }
  }
}

void add_personal_rules() {
  write_log("Adding personal firewall rules\n");
  for (std::string line : operator_lines(kRouterRules)) {
    if (line.find('#') != std::string::npos || line.empty() || line[0] != '-') continue;
    line = str_replace(line, "\n", "");
    if (debug_mod_internet) write_log("%s\n", line.c_str());
    if (firewall_exec_refusable(line) != 1)
      write_log("Internet: parameters are wrong or this rule is bad '%s'\n", line.c_str());
  }
}

// Commits the build's tables, the filter table last: the sets and marks it
// relies on are in place before it, and it brings its DROP policies in the
// same replacement as everything it accepts. Each table the kernel refuses
// keeps its old content and counts.
void commit_tables(Counter& count) {
  for (const RefusedTable& t : session_commit_held(table_session(), {"raw", "nat", "mangle", "filter"})) {
    write_log("Internet: the kernel refused the table %s: %s\n", t.table.c_str(), t.reason.c_str());
    count(0);
  }
}

// Addresses held by more than one setting ('000.000.000.000' is the column's default).
constexpr const char* kDuplicateAddresses =
    "SELECT ip,count(ip) as nr_ips FROM `internet_settings` where ip <> '000.000.000.000'  "
    "group by ip having count(ip)  > 1";

// The paid settings of a build, read while its networks are made: on a
// connection of their own when one could be made (the server then reads them
// from the build's first moment, beside everything else the build asks),
// else on mysql_r.
QueryAhead paid_ahead;
std::optional<SqlResult> paid_rows;  // empty unless the build read them on mysql_r

// A connection opened for one build, closed when it ends.
struct OwnConnection {
  MYSQL* handle = nullptr;
  OwnConnection() = default;
  OwnConnection(const OwnConnection&) = delete;
  OwnConnection& operator=(const OwnConnection&) = delete;
  ~OwnConnection() { sql_close(handle); }
};

// Logs and prints the addresses that more than one setting holds.
void report_duplicates(MYSQL_RES* res) {
  if (!res || sql_num_rows(res) == 0) return;
  for (const char* line : {"Error: Duplicate records of ips found.\n",
                           "Error: Some of the clients will not have internet.\n", "Error: Listing duplicate ips.\n"}) {
    write_log("%s", line);
    std::fputs(line, stdout);
  }
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    write_log("Error-duplicate: %s Nr of fuplicates: %s.\n", row[0], row[1]);
    std::printf("Error-duplicate: %s Nr of fuplicates: %s.\n", row[0], row[1]);
  }
  std::fflush(stdout);
}

// A session file name must name a file inside the session directory.
bool safe_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Opens every paid row but the gate clients' (they are opened when they log in).
int forward_paid_rows(MYSQL_RES* paid, int op) {
  if (debug_mod_internet) write_log("op_firewall rows: %llu\n", sql_num_rows(paid));
  int failures = 0;
  while (MYSQL_ROW row = paid ? mysql_fetch_row(paid) : nullptr) {
    if (row[2]) continue;
    if (!forward(row[0] ? row[0] : "", row[1] ? row[1] : "", op, 1)) {
      ++failures;
      if (debug_mod_internet) write_log("Error forward for ip: %s \n", row[0] ? row[0] : "");
    }
  }
  return failures;
}

// Gives each unpaid address its redirect mark.
int add_unpaid_marks(MYSQL_RES* unpaid, const char* other_ports) {
  if (!unpaid || sql_num_rows(unpaid) == 0) {
    write_log("No redirects added sql_num_rows = %d or res was null.\n", static_cast<int>(sql_num_rows(unpaid)));
    return 0;
  }
  int failures = 0;
  while (MYSQL_ROW row = mysql_fetch_row(unpaid)) {
    std::string ip = row[0] ? row[0] : "";
    if (!is_host_address(ip)) {
      ++failures;
      skip_row("ip", ip);
      continue;
    }
    std::string chain = unpaid_chain(ip);
    int ok = other_ports
                 ? firewall_exec(access_queries::kMarkRuleWithPorts, 'A', chain.c_str(), ip.c_str(), other_ports)
                 : firewall_exec(access_queries::kMarkRule, 'A', chain.c_str(), ip.c_str());
    if (!ok) ++failures;
  }
  return failures;
}

int report_failures(int failures) {
  if (failures < 2) return 0;
  write_log("mod_internet errors reported '%d'\n", failures);
  return failures;
}

// The paid and unpaid rows of a set build whose paid rows come on their own
// connection: the marks and the operator's rules are added while the server
// still reads the paid rows, which then go straight into the sets. Paid rows
// make set entries only, so the tables come out as in op_firewall's order.
int build_with_paid_ahead(int rid, const char* other_ports) {
  int failures = add_unpaid_marks(sql_query(mysql_r, access_queries::kUnpaidSettings, rid, rid).get(), other_ports);
  add_personal_rules();
  failures += forward_paid_rows(paid_ahead.take().get(), 1);
  set_build_fill();
  return report_failures(failures);
}

}  // namespace

extern "C" int firewall_operation(int op, int rid, const char* other_ports) {
  Counter count;
  if (debug_mod_internet) write_log("init_handlers...\n");
  if (!init_handlers()) return 0;
  if (debug_mod_internet) write_log("init_handlers: OK\n");

  // The server reads the networks while the tables are opened and reset.
  QueryAhead nets_ahead;
  if (op == 1) nets_ahead.send(mysql_r, format(access_queries::kNetworks, rid));
  const bool build_sets = op == 1 && use_ipset;
  // Everything below collects in one handle per table and reaches the kernel
  // at the end: the old layout stays whole until the new one replaces it.
  bool opened = false;
  auto open_and_reset = [&] {
    opened = true;
    session_hold(table_session());
    if (build_sets) set_build_begin();
    reset_tables(count);
    ip_forward(1);
  };
  OwnConnection paid_connection;
  if (op == 1 && rid != 0 && mysql_r) {
    paid_connection.handle = sql_connect_overlapped(open_and_reset);
    if (paid_connection.handle)
      paid_ahead.send(paid_connection.handle, format(access_queries::kPaidSettings, rid, rid));
  }
  if (!opened) open_and_reset();

  if (op == 1) {
    const char* ports = other_ports;
    if (ports && !is_port_list(ports, kExtraMarkPorts)) {
      count(skip_row("other_ports", ports));
      ports = nullptr;
    }
    count(firewall_exec("-A INPUT -i lo -j ACCEPT"));
    count(firewall_exec("-A OUTPUT -o lo -j ACCEPT"));
    count(firewall_exec("-A INPUT -p icmp -j ACCEPT"));
    count(firewall_exec("-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT"));
    SqlResult nets = nets_ahead.take();
    SqlResult routers = sql_query(mysql_r, "select ip from internet_routers where id='%d'", rid);
    SqlResult duplicates = sql_query(mysql_r, kDuplicateAddresses);
    // The server reads the paid settings while the networks' sets are made,
    // the router's rules and the port openings added and the duplicates told.
    if (rid != 0 && !paid_ahead.pending()) paid_ahead.send(mysql_r, format(access_queries::kPaidSettings, rid, rid));
    if (nets) {
      std::set<std::string> seen;
      while (MYSQL_ROW row = mysql_fetch_row(nets.get()))
        if (row[0]) add_network(count, row[0], seen);
    }
    if (routers) {
      while (MYSQL_ROW row = mysql_fetch_row(routers.get()))
        if (row[0])
          count(is_host_address(row[0]) ? firewall_exec("-A OUTPUT -s %s -j ACCEPT", row[0])
                                        : skip_row("router ip", row[0]));
    }
    add_port_openings(count);
    report_duplicates(duplicates.get());
    // Rows read on mysql_r are taken before it is used again; those on their
    // own connection when they are needed.
    if (paid_ahead.pending() && !paid_connection.handle) paid_rows = paid_ahead.take();
    close_auth_sessions();
    if (build_sets && paid_ahead.pending()) {
      build_with_paid_ahead(rid, ports);
    } else {
      op_firewall(op, rid, ports);
      add_personal_rules();
    }
    count(firewall_exec("-P INPUT DROP"));
    count(firewall_exec("-P FORWARD DROP"));
    count(firewall_exec("-P OUTPUT DROP"));
    ip_forward(1);
    ip_conntrack_max(990000);
    neigh_increase(990000);
    route_max_size(990000);
  }
  if (build_sets) {
    count.value += set_build_refused();
    count.value += set_build_swap_in();
  }
  commit_tables(count);
  // The old sets are destroyed only now that no table refers to them.
  if (build_sets) set_build_end(true);
  if (paid_ahead.pending()) paid_ahead.take();  // not on a connection that is about to close
  close_handlers();
  write_log("Added all firewall rules. Probable errors: %d.\n", count.value);
  return count.value;
}

extern "C" int op_firewall(int op, int rid, const char* other_ports) {
  init_handlers();
  if (rid == 0) return 0;
  // A build has read them already, or has them on their way.
  SqlResult paid = paid_ahead.pending() ? paid_ahead.take()
                   : paid_rows          ? std::move(*paid_rows)
                                        : sql_query(mysql_r, access_queries::kPaidSettings, rid, rid);
  paid_rows.reset();
  int failures = forward_paid_rows(paid.get(), op);
  // The queued set entries reach the kernel while the server reads the unpaid settings.
  QueryAhead unpaid_ahead;
  unpaid_ahead.send(mysql_r, format(access_queries::kUnpaidSettings, rid, rid));
  if (set_build_running()) set_build_fill();
  failures += add_unpaid_marks(unpaid_ahead.take().get(), other_ports);
  return report_failures(failures);
}

extern "C" void find_duplicate_recs() {
  SqlResult res = sql_query(mysql_r, kDuplicateAddresses);
  report_duplicates(res.get());
}

extern "C" void close_auth_sessions() {
  SqlResult res =
      sql_query(mysql_r, "select remote_addr,id from internet_gate_log where logout_date='0000-00-00 00:00:00'");
  if (!res) return;
  // The logouts are written together, many to a round trip.
  std::vector<std::string> logouts;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    std::string address = row[0] ? row[0] : "";
    std::string id = row[1] ? row[1] : "";
    std::string path = std::string(ZARN_SESSION_DIR) + "/" + address;
    if (safe_file_name(address) && access(path.c_str(), F_OK) == 0 && unlink(path.c_str()) != 0) {
      write_log("Could not terminate auth session for client with ip %s.\n", address.c_str());
      std::printf("Could not terminate auth session for client with ip %s.\n", address.c_str());
      continue;
    }
    logouts.push_back(format("update internet_gate_log set logout_date=now() where remote_addr='%s' and id='%s'",
                             slash_this(address).c_str(), slash_this(id).c_str()));
  }
  sql_execute_all(mysql_r, logouts);
}
