// Reads the members of the router's source sets through libipset.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/state/state_model.h"

namespace zarn_state {

// Adds the sets that exist and their members to `held`; false (with the
// reason in `error`) when no ip set session can be opened.
bool read_sets(const std::vector<Network>& networks, Held& held, std::string* error);

// "ADDRESS,MAC" lines after "Members:" of a set listing: ip -> MACs (upper case).
void parse_set_members(const std::string& listing, std::map<std::string, std::vector<std::string>>& out);

}  // namespace zarn_state
