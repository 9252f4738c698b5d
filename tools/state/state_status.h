// The per-setting status of the router and its counts, in text, JSON and
// the Prometheus text format.
#pragma once

#include <string>
#include <vector>

#include "tools/state/state_model.h"
#include "tools/state/state_shaping.h"

namespace zarn_state {

// One line per setting (with the shaping classes the kernel sends its
// address to), then the totals per internal network.
std::string status_text(const Desired& desired, const Held& held, const Shaping& shaping);
// {"router":RID,"settings":[...],"networks":[...]} on one line.
std::string status_json(int rid, const Desired& desired, const Held& held, const Shaping& shaping);
// The counts as metrics for a textfile collector.
std::string metrics_text(int rid, const Desired& desired, const Held& held, const std::vector<Difference>& differences);

}  // namespace zarn_state
