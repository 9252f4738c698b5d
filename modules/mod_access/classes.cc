#include "modules/mod_access/classes.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "modules/mod_access/kernel_names.h"
#include "modules/mod_access/module_state.h"

namespace {

std::vector<NetClass> loaded;

uint32_t column_u32(const char* text) { return text ? static_cast<uint32_t>(std::strtoull(text, nullptr, 0)) : 0; }

}  // namespace

const std::vector<NetClass>& classes() { return loaded; }

extern "C" void fill_classes() {
  if (!loaded.empty()) return;
  SqlResult res = sql_query(mysql_r, "SELECT `net`,`host_min`,`host_max`,`rid` from internal_net where rid <> 0");
  if (!res) return;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
    loaded.push_back(
        NetClass{row[0] ? row[0] : "", column_u32(row[1]), column_u32(row[2]), row[3] ? std::atoi(row[3]) : 0});
  }
}

std::optional<std::string> find_class(const std::string& ip) {
  if (loaded.empty()) {
    write_log("Could not aquire class for ip: %s\n", ip.c_str());
    return std::nullopt;
  }
  in_addr parsed{};
  // inet_pton reads the canonical form at a fraction of inet_aton's cost, and
  // where it reads an address at all inet_aton reads the same one.
  bool valid = inet_pton(AF_INET, ip.c_str(), &parsed) == 1 || inet_aton(ip.c_str(), &parsed) != 0;
  uint32_t address = ntohl(parsed.s_addr);
  for (const NetClass& c : loaded) {
    if (c.host_min == c.host_max) {
      write_log("zarn-ipset: class error first ip is equal with last. [%d][%d][%s][%s]\n", static_cast<int>(c.host_min),
                static_cast<int>(c.host_max), c.net.c_str(), ip.c_str());
      return std::nullopt;
    }
    if (c.host_min > c.host_max) {
      write_log("zarn-ipset: class error first ip is grater then the last ip. [%d][%d][%s][%s]\n",
                static_cast<int>(c.host_min), static_cast<int>(c.host_max), c.net.c_str(), ip.c_str());
      return std::nullopt;
    }
    if (valid && c.host_min <= address && address <= c.host_max) {
      if (debug_mod_ipset) write_log("zarn-ipset: get class found %s\n", c.net.c_str());
      return c.net;
    }
  }
  write_log("zarn-ipset: get class not found %s\n", ip.c_str());
  return std::nullopt;
}

NetNumbers net_numbers(const std::string& text) {
  NetNumbers n;
  std::sscanf(text.c_str(), "%lu.%lu.%lu.%lu/%lu", &n.a, &n.b, &n.c, &n.d, &n.m);
  return n;
}

std::string source_name(const std::string& net) {
  NetNumbers n = net_numbers(net);
  return kernel_names::source_set(n.a, n.b, n.c, n.d, n.m);
}

std::string destination_name(const std::string& net) {
  NetNumbers n = net_numbers(net);
  return kernel_names::destination_chain(n.a, n.b, n.c, n.d, n.m);
}

std::string unpaid_chain(const std::string& address_or_net) {
  NetNumbers n = net_numbers(address_or_net);
  return kernel_names::unpaid_chain(n.a, n.b, n.c);
}

bool is_decimal_id(const char* id) {
  if (!id || !*id) return false;
  for (const char* p = id; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}
