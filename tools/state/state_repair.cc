#include "tools/state/state_repair.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "libzarn/log.h"
#include "libzarn/module.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/kernel_names.h"
#include "modules/mod_access/queries.h"
#include "tools/state/state_compare.h"

namespace zarn_state {

namespace {

// The access module's entry points and command executor that a repair uses.
struct AccessModule {
  std::unique_ptr<LoadedModule> module;
  int (*init_handlers)() = nullptr;
  int (*close_handlers)() = nullptr;
  int (*forward)(const char*, const char*, int, int) = nullptr;
  int (*firewall_exec)(const char*, ...) = nullptr;
  int (*ipset_exec)(const char*, ...) = nullptr;
};

std::optional<AccessModule> load_access(std::string* error) {
  AccessModule m;
  m.module = LoadedModule::open("mod_access.so", error);
  if (!m.module) return std::nullopt;
  void* init = m.module->symbol("init_handlers", error);
  void* close = m.module->symbol("close_handlers", error);
  void* forward = m.module->symbol("forward", error);
  void* exec = m.module->symbol("firewall_exec", error);
  void* set_exec = m.module->symbol("ipset_exec", error);
  if (!init || !close || !forward || !exec || !set_exec) return std::nullopt;
  m.init_handlers = reinterpret_cast<int (*)()>(init);
  m.close_handlers = reinterpret_cast<int (*)()>(close);
  m.forward = reinterpret_cast<int (*)(const char*, const char*, int, int)>(forward);
  m.firewall_exec = reinterpret_cast<int (*)(const char*, ...)>(exec);
  m.ipset_exec = reinterpret_cast<int (*)(const char*, ...)>(set_exec);
  return m;
}

void logged(RepairResult& result, bool ok, const Difference& d, const std::string& what) {
  if (ok) {
    ++result.fixed;
    write_log("zarn-state: fixed %s: %s\n", d.reason.c_str(), what.c_str());
  } else {
    ++result.failed;
    write_log("zarn-state: could not fix %s: %s\n", d.reason.c_str(), what.c_str());
  }
}

// Deletes the listed mark rules, last first in each chain so that the numbers hold.
void delete_marks(const AccessModule& m, const std::vector<const Difference*>& marks, RepairResult& result) {
  std::vector<std::pair<MarkRule, const Difference*>> rules;
  for (const Difference* d : marks)
    for (const MarkRule& r : d->rules) rules.emplace_back(r, d);
  std::sort(rules.begin(), rules.end(), [](const auto& x, const auto& y) {
    return x.first.chain != y.first.chain ? x.first.chain < y.first.chain : x.first.number > y.first.number;
  });
  for (const auto& [rule, d] : rules) {
    bool ok = m.firewall_exec("-t mangle -D %s %d", rule.chain.c_str(), rule.number);
    logged(result, ok, *d, d->ip + " rule " + std::to_string(rule.number) + " of " + rule.chain);
  }
}

// Deletes the entries the kernel held for the address (MACs separated by blanks).
bool delete_entries(const AccessModule& m, const std::string& set, const std::string& ip, const std::string& macs) {
  if (macs.empty()) return true;  // splitStr gives one empty piece for it
  bool ok = true;
  for (const std::string& mac : splitStr(macs, " "))
    ok = m.ipset_exec("-D %s %s,%s", set.c_str(), ip.c_str(), mac.c_str()) && ok;
  return ok;
}

bool add_mark(const AccessModule& m, const std::string& ip, const std::optional<std::string>& other_ports) {
  // A stored address with more after it would add words to the rule.
  if (check_ipv4_address(ip.c_str()) != 1) return false;
  unsigned long a, b, c, d;
  if (std::sscanf(ip.c_str(), "%lu.%lu.%lu.%lu", &a, &b, &c, &d) != 4) return false;
  std::string chain = kernel_names::unpaid_chain(a, b, c);
  if (other_ports)
    return m.firewall_exec(access_queries::kMarkRuleWithPorts, 'A', chain.c_str(), ip.c_str(), other_ports->c_str());
  return m.firewall_exec(access_queries::kMarkRule, 'A', chain.c_str(), ip.c_str());
}

}  // namespace

std::optional<RepairResult> repair(const std::vector<Difference>& differences, const std::vector<Network>& networks,
                                   const std::optional<std::string>& other_ports, std::string* error) {
  RepairResult result;
  if (differences.empty()) return result;
  std::optional<AccessModule> m = load_access(error);
  if (!m) return std::nullopt;
  m->init_handlers();
  std::vector<const Difference*> mark_deletions;
  for (const Difference& d : differences)
    if (d.reason == kMarkStale || d.reason == kMarkDuplicated) mark_deletions.push_back(&d);
  delete_marks(*m, mark_deletions, result);
  for (const Difference& d : differences) {
    if (d.reason == kSetMissing || d.reason == kChainMissing) {
      ++result.needs_full_start;
      write_log("zarn-state: %s %s: not repaired; run a full start (internet start) instead\n", d.reason.c_str(),
                d.object.c_str());
    } else if (d.reason == kForwardingMissing || d.reason == kWrongMac || d.reason == kStaleNotPaid ||
               d.reason == kStaleGateNotLoggedIn || d.reason == kStaleClientGone) {
      // The entries the kernel held are known from its reading a moment ago,
      // so they are deleted as they are and the module need not list the set.
      const Network* n = network_of(networks, d.ip);
      bool ok = n && delete_entries(*m, n->source_set, d.ip, d.kernel_mac);
      bool stale = d.reason != kForwardingMissing && d.reason != kWrongMac;
      if (ok && !stale) ok = m->forward(d.ip.c_str(), d.mac.c_str(), 1, 1) == 1;
      logged(result, ok, d, d.ip + " " + (stale ? d.kernel_mac : d.mac));
    } else if (d.reason == kMarkMissing) {
      logged(result, add_mark(*m, d.ip, other_ports), d, d.ip);
    }
  }
  m->close_handlers();
  return result;
}

namespace {

// The shaping module's per-client operations.
struct ShaperModule {
  std::unique_ptr<LoadedModule> module;
  int (*add)(const char*, int) = nullptr;
  int (*update)(const char*, int) = nullptr;
  int (*remove)(const char*, int) = nullptr;
};

std::optional<ShaperModule> load_shaper(std::string* error) {
  ShaperModule m;
  m.module = LoadedModule::open("mod_shaper.so", error);
  if (!m.module) return std::nullopt;
  void* add = m.module->symbol("restrict_user_add", error);
  void* update = m.module->symbol("restrict_user_update", error);
  void* remove = m.module->symbol("restrict_user_remove", error);
  if (!add || !update || !remove) return std::nullopt;
  m.add = reinterpret_cast<int (*)(const char*, int)>(add);
  m.update = reinterpret_cast<int (*)(const char*, int)>(update);
  m.remove = reinterpret_cast<int (*)(const char*, int)>(remove);
  return m;
}

}  // namespace

bool repair_shaping(const std::vector<Difference>& differences, int rid, RepairResult& result, std::string* error) {
  std::set<std::string> rebuild, update;
  std::vector<const Difference*> orphans;
  for (const Difference& d : differences) {
    if (d.reason == kClassWrongRate) {
      update.insert(d.cid);
    } else if (d.reason == kClassMissing || d.reason == kClassStale || d.reason == kFilterMissing ||
               d.reason == kFilterStale) {
      if (d.cid.empty())
        orphans.push_back(&d);
      else
        rebuild.insert(d.cid);
    }
  }
  for (const Difference* d : orphans) {
    ++result.needs_full_start;
    write_log("zarn-state: %s %s: of no client; run a full start (internet start) instead\n", d->reason.c_str(),
              d->object.c_str());
  }
  if (rebuild.empty() && update.empty()) return true;
  std::optional<ShaperModule> m = load_shaper(error);
  if (!m) return false;
  for (const std::string& cid : rebuild) {
    m->remove(cid.c_str(), rid);
    bool ok = m->add(cid.c_str(), rid) == 1;
    m->update(cid.c_str(), rid);
    ++(ok ? result.fixed : result.failed);
    write_log("zarn-state: %s shaping of client %s: removed and added again\n", ok ? "fixed" : "could not fix",
              cid.c_str());
  }
  for (const std::string& cid : update) {
    if (rebuild.count(cid)) continue;
    bool ok = m->update(cid.c_str(), rid) == 1;
    ++(ok ? result.fixed : result.failed);
    write_log("zarn-state: %s class wrong rate: client %s\n", ok ? "fixed" : "could not fix", cid.c_str());
  }
  return true;
}

}  // namespace zarn_state
