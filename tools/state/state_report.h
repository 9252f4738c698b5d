// The verify report in its text and JSON forms.
#pragma once

#include <string>
#include <vector>

#include "tools/state/state_model.h"

namespace zarn_state {

// One line per difference, then the login clients that are logged out.
std::string verify_text(const std::vector<Difference>& differences, const Desired& desired);
// {"router":RID,"differences":[...],"logged_out":[...]} on one line.
std::string verify_json(int rid, const std::vector<Difference>& differences, const Desired& desired);
// A JSON string literal of `text`.
std::string json_string(const std::string& text);

}  // namespace zarn_state
