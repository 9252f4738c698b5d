// Loads the router's state for one command: the database and the kernel are
// read side by side, then compared.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"
#include "tools/state/state_shaping.h"

namespace zarn_state {

// The router's state as loaded for one command.
struct RouterState {
  int rid = 0;
  Desired desired;
  Held held;
  Shaping shaping;
  std::vector<Difference> differences;
};

// The state of the router registered under `listen_address`; nothing (with
// the reason in `error`) when the database or the kernel cannot be read.
std::optional<RouterState> load_state(MYSQL* connection, const std::string& listen_address, std::string* error);

}  // namespace zarn_state
