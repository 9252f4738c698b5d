#include "modules/mod_access/rule_lookup.h"

#include <arpa/inet.h>
#include <libiptc/libiptc.h>
#include <linux/netfilter/nf_nat.h>
#include <linux/netfilter/xt_mac.h>
#include <linux/netfilter/xt_multiport.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <sstream>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/ipset_command.h"
#include "modules/mod_access/set_dump.h"
#include "modules/mod_access/set_listing.h"
#include "modules/mod_access/table_session.h"

namespace {

// Set names the kernel takes.
constexpr size_t kLongestSetName = 31;

// Owner of a snapshot handle.
struct Snapshot {
  xtc_handle* h;
  explicit Snapshot(const char* table) : h(open_table(table)) {}
  ~Snapshot() {
    if (h) iptc_free(h);
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
};

std::string dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

bool has_destination(const ipt_entry* e) { return e->ip.dst.s_addr != 0; }
bool source_is(const ipt_entry* e, const std::string& ip) { return dotted(e->ip.src) == ip; }
bool destination_is(const ipt_entry* e, const std::string& ip) { return has_destination(e) && dotted(e->ip.dst) == ip; }

const xt_entry_match* first_match(const ipt_entry* e, const char* name) {
  for (unsigned at = sizeof(ipt_entry); at < e->target_offset;) {
    auto* m = reinterpret_cast<const xt_entry_match*>(reinterpret_cast<const unsigned char*>(e) + at);
    if (std::strcmp(m->u.user.name, name) == 0) return m;
    if (m->u.match_size == 0) break;
    at += m->u.match_size;
  }
  return nullptr;
}

// Walks the rules of one chain of a fresh snapshot. False when the table cannot be opened.
bool walk(const char* table, const std::string& chain, const char* error_tag,
          const std::function<void(const ipt_entry*, xtc_handle*)>& visit) {
  Snapshot snap(table);
  if (!snap.h) {
    write_log("%s: Error initializing: %s\n", error_tag, iptc_strerror(errno));
    return false;
  }
  for (const ipt_entry* e = iptc_first_rule(chain.c_str(), snap.h); e; e = iptc_next_rule(e, snap.h)) visit(e, snap.h);
  return true;
}

std::optional<MacList> collect_macs(const char* tag, const std::string& chain,
                                    const std::function<bool(const ipt_entry*)>& wanted) {
  MacList macs;
  bool ok = walk("filter", chain, tag, [&](const ipt_entry* e, xtc_handle*) {
    if (wanted(e)) macs.push_back(get_mac(e));
  });
  if (!ok) return std::nullopt;
  return macs;
}

int count_rules(const char* table, const std::string& chain, const char* tag, int on_failure,
                const std::function<bool(const ipt_entry*, xtc_handle*)>& wanted) {
  int n = 0;
  bool ok = walk(table, chain, tag, [&](const ipt_entry* e, xtc_handle* h) { n += wanted(e, h) ? 1 : 0; });
  return ok ? n : on_failure;
}

}  // namespace

std::string ipset_get_mac(const unsigned char* b) {
  return format("%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
}

std::optional<std::string> get_mac(const ipt_entry* e) {
  const xt_entry_match* m = first_match(e, "mac");
  if (!m) return std::nullopt;
  auto* info = reinterpret_cast<const xt_mac_info*>(m->data);
  return ipset_get_mac(info->srcaddr);
}

int get_dport(const ipt_entry* e) {
  const xt_entry_match* m = first_match(e, "multiport");
  if (!m) return -1;
  // Both revisions begin with flags, count and the port list.
  auto* info = reinterpret_cast<const xt_multiport*>(m->data);
  if (info->flags != XT_MULTIPORT_DESTINATION || e->ip.proto != IPPROTO_TCP || info->count == 0) return -2;
  return info->ports[0];
}

std::optional<MacList> GetForward_Source_IpMac(const std::string& ip, const std::string& chain) {
  return collect_macs("GetForward_Source_IpMac", chain,
                      [&](const ipt_entry* e) { return !has_destination(e) && source_is(e, ip); });
}

std::optional<MacList> GetForward_Destination_IpMac(const std::string& ip) {
  return collect_macs("GetForward_Destination_IpMac", "FORWARD",
                      [&](const ipt_entry* e) { return destination_is(e, ip); });
}

int GetForward_Destination(const std::string& ip, const std::string& chain) {
  return count_rules("filter", chain, "forward_check", 0,
                     [&](const ipt_entry* e, xtc_handle*) { return destination_is(e, ip); });
}

std::vector<int> forward_check(const std::string& ip) {
  std::vector<int> counts{0, 0};
  bool ok = walk("filter", "FORWARD", "forward_check", [&](const ipt_entry* e, xtc_handle*) {
    if (!has_destination(e) && source_is(e, ip)) ++counts[0];
    if (destination_is(e, ip)) ++counts[1];
  });
  if (!ok) return {-1, -1};
  return counts;
}

int GetPostrouting_Info(const std::string& ip) {
  return count_rules("nat", "POSTROUTING", "GetPostrouting_Info", -1,
                     [&](const ipt_entry* e, xtc_handle*) { return !has_destination(e) && source_is(e, ip); });
}

int GetPrerouting_Info(const std::string& ip) {
  return count_rules("nat", "PREROUTING", "GetPrerouting_Info", -1,
                     [&](const ipt_entry* e, xtc_handle*) { return !has_destination(e) && source_is(e, ip); });
}

int GetNotifier_Info(const std::string& ip, int port, int to_port) {
  return count_rules("nat", "PREROUTING", "GetNotifier_Info", -1, [&](const ipt_entry* e, xtc_handle* h) {
    if (has_destination(e) || !source_is(e, ip) || get_dport(e) != port) return false;
    if (std::strcmp(iptc_get_target(e, h), "REDIRECT") != 0) return false;
    auto* t = reinterpret_cast<const xt_entry_target*>(reinterpret_cast<const unsigned char*>(e) + e->target_offset);
    auto* ranges = reinterpret_cast<const nf_nat_ipv4_multi_range_compat*>(t->data);
    return ntohs(ranges->range[0].min.tcp.port) == to_port;
  });
}

int GetNotifier_Info_Mark(const std::string& ip, int port, int) {
  Snapshot snap("mangle");
  return notifier_marks_in(snap.h, ip, port);
}

int notifier_marks_in(xtc_handle* mangle, const std::string& ip, int port) {
  if (!mangle) {
    write_log("GetNotifier_Info_Mark: Error initializing: %s\n", iptc_strerror(errno));
    return -1;
  }
  int n = 0;
  for (const ipt_entry* e = iptc_first_rule(unpaid_chain(ip).c_str(), mangle); e; e = iptc_next_rule(e, mangle))
    if (!has_destination(e) && source_is(e, ip) && get_dport(e) == port &&
        std::strcmp(iptc_get_target(e, mangle), "MARK") == 0)
      ++n;
  return n;
}

int Check_Chain(const std::string& chain, const std::string& table) {
  Snapshot snap(table.c_str());
  if (!snap.h) {
    write_log("Check_Chain: Error initializing: %s\n", iptc_strerror(errno));
    return -1;
  }
  return iptc_is_chain(chain.c_str(), snap.h) ? 1 : 0;
}

std::optional<MacList> ipset_GetForward_Source_IpMac(const std::string& ip, const std::string& set) {
  std::optional<std::vector<std::string>> found;
  if (set.size() <= kLongestSetName) {
    found = set_macs_of(set, ip);
  } else {
    // The interpreter's own refusal of the name ends the process, as it always has.
    std::string listing;
    if (ipset_output("-L " + set, &listing)) {
      auto members = set_members_by_address(listing);
      auto at = members.find(ip);
      found = at != members.end() ? at->second : std::vector<std::string>{};
    }
  }
  if (!found) return std::nullopt;
  return MacList(found->begin(), found->end());
}
