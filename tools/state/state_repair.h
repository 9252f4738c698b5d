// Repairs differences through the access module's own entry points, loaded
// from the module directory: it never flushes a table, never changes a
// policy and never ends a login.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"
#include "tools/state/state_shaping.h"

namespace zarn_state {

// Outcome of a repair run.
struct RepairResult {
  int fixed = 0;
  int failed = 0;
  int needs_full_start = 0;  // sets or chains missing altogether
};

// Fixes each difference through the access module, writing one log line per
// fix: the set entries the kernel held for a wrong or stale forwarding are
// deleted as read (ipset_exec), a missing or wrong one is added by `forward`,
// mark rules go through firewall_exec. `networks` gives each address its set;
// `other_ports` is the operator's extra notice ports for new mark rules.
// Nothing when the module cannot be loaded.
std::optional<RepairResult> repair(const std::vector<Difference>& differences, const std::vector<Network>& networks,
                                   const std::optional<std::string>& other_ports, std::string* error);

// Fixes the shaping differences through the shaping module's per-client
// operations: a wrong rate by restrict_user_update; a missing or stale class
// or filter of a client by removing the client's classes and filters
// (restrict_user_remove) and adding them again
// (restrict_user_add, then restrict_user_update). A stale one of no client
// is left to a full start. Adds to `result`; false when the module cannot be loaded.
bool repair_shaping(const std::vector<Difference>& differences, int rid, RepairResult& result, std::string* error);

}  // namespace zarn_state
