// Reads what the kernel holds for the router's networks: the members of the
// source sets (libipset) and the mark rules of the unpaid chains (libiptc).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"

namespace zarn_state {

// The kernel's state for `networks`; nothing (with the reason in `error`)
// when a table or the set listing cannot be read.
std::optional<Held> read_kernel(const std::vector<Network>& networks, std::string* error);

}  // namespace zarn_state
