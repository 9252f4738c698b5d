// What the database says the router should hold now: the queries of a
// firewall build, with the open gate and subscriber logins.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>

#include "tools/state/state_model.h"

namespace zarn_state {

// The router's id by its listening address, or nothing.
std::optional<int> router_id(MYSQL* connection, const std::string& listen_address);

// The router's desired state; nothing (with the reason in `error`) when a query fails.
std::optional<Desired> load_desired(MYSQL* connection, int rid, std::string* error);

}  // namespace zarn_state
