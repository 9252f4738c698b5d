// What the database says the router should hold now: the queries of a
// firewall build, with the open gate and subscriber logins.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"

namespace zarn_state {

// The router's id by its listening address, or nothing.
std::optional<int> router_id(MYSQL* connection, const std::string& listen_address);

// The router's internal networks; nothing (with the reason in `error`) when the query fails.
std::optional<std::vector<Network>> load_networks(MYSQL* connection, int rid, std::string* error);

// The router's desired state for its `networks`; nothing (with the reason in
// `error`) when a query fails. The module's paid-settings query runs on
// `paid_connection`, in a thread of its own, beside the others.
std::optional<Desired> load_desired(MYSQL* connection, MYSQL* paid_connection, int rid, std::vector<Network> networks,
                                    std::string* error);

}  // namespace zarn_state
