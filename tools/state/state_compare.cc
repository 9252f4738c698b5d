#include "tools/state/state_compare.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "modules/mod_access/kernel_names.h"

namespace zarn_state {

namespace {

std::optional<uint32_t> address_value(const std::string& dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) return std::nullopt;
  return ntohl(a.s_addr);
}

// Checks the forwarding of one address the database wants forwarded.
void compare_forward(const std::string& ip, const std::string& mac, const Held& held, std::vector<Difference>& out) {
  auto found = held.forwards.find(ip);
  if (found == held.forwards.end() || found->second.empty()) {
    out.push_back({kForwardingMissing, ip, mac, "", "", {}, ""});
    return;
  }
  const std::vector<std::string>& macs = found->second;
  if (macs.size() != 1 || macs.front() != mac) {
    std::string held_macs;
    for (const std::string& m : macs) held_macs += (held_macs.empty() ? "" : " ") + m;
    out.push_back({kWrongMac, ip, mac, held_macs, "", {}, ""});
  }
}

}  // namespace

std::optional<Network> make_network(const std::string& net) {
  unsigned a, b, c, d, m;
  char tail;
  if (std::sscanf(net.c_str(), "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &m, &tail) != 5) return std::nullopt;
  if (a > 255 || b > 255 || c > 255 || d > 255 || m > 32) return std::nullopt;
  // The module builds only canonical texts ("010.1.1.0/24" names no set of it).
  if (net != std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d) + "/" +
                 std::to_string(m))
    return std::nullopt;
  Network n;
  n.net = net;
  n.source_set = kernel_names::source_set(a, b, c, d, m);
  n.unpaid_chain = kernel_names::unpaid_chain(a, b, c);
  n.mask = m == 0 ? 0 : ~uint32_t{0} << (32 - m);
  n.base = ((a << 24) | (b << 16) | (c << 8) | d) & n.mask;
  return n;
}

const Network* network_of(const std::vector<Network>& networks, const std::string& ip) {
  std::optional<uint32_t> address = address_value(ip);
  if (!address) return nullptr;
  for (const Network& n : networks)
    if ((*address & n.mask) == n.base) return &n;
  return nullptr;
}

std::vector<Difference> compare(const Desired& desired, const Held& held) {
  std::vector<Difference> out;
  for (const Network& n : desired.networks) {
    if (!held.sets.count(n.source_set)) out.push_back({kSetMissing, "", "", "", n.source_set, {}, ""});
    if (!held.chains.count(n.unpaid_chain)) out.push_back({kChainMissing, "", "", "", n.unpaid_chain, {}, ""});
  }
  auto set_held = [&](const std::string& ip) {
    const Network* n = network_of(desired.networks, ip);
    return n && held.sets.count(n->source_set);
  };
  auto chain_held = [&](const std::string& ip) {
    const Network* n = network_of(desired.networks, ip);
    return n && held.chains.count(n->unpaid_chain);
  };
  for (const auto& [ip, mac] : desired.forwards)
    if (set_held(ip)) compare_forward(ip, mac, held, out);
  for (const auto& [ip, macs] : held.forwards) {
    if (desired.forwards.count(ip) || desired.logged_out.count(ip) || macs.empty()) continue;
    auto why = desired.not_forwarded.find(ip);
    std::string joined;
    for (const std::string& m : macs) joined += (joined.empty() ? "" : " ") + m;
    out.push_back({why == desired.not_forwarded.end() ? kStaleClientGone : why->second, ip, "", joined, "", {}, ""});
  }
  for (const std::string& ip : desired.marks) {
    if (!chain_held(ip)) continue;
    auto found = held.marks.find(ip);
    if (found == held.marks.end() || found->second.empty()) {
      out.push_back({kMarkMissing, ip, "", "", "", {}, ""});
    } else if (found->second.size() > 1) {
      std::vector<MarkRule> extra(found->second.begin() + 1, found->second.end());
      out.push_back({kMarkDuplicated, ip, "", "", extra.front().chain, extra, ""});
    }
  }
  for (const auto& [ip, rules] : held.marks)
    if (!desired.marks.count(ip) && !rules.empty())
      out.push_back({kMarkStale, ip, "", "", rules.front().chain, rules, ""});
  return out;
}

}  // namespace zarn_state
