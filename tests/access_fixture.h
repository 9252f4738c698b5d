// A router in the database and helpers to read back what the kernel holds,
// for the tests of the access module on the real kernel.
#pragma once

#include <string>
#include <vector>

#include "tests/testing.h"

namespace zarn_test {

// Router 1 with networks 10.1.1.0/24 and 10.1.2.0/24; router 2 with 10.9.9.0/24.
// Clients of router 1: 1 paid (10.1.1.10), 2 paid with notice 123 (10.1.1.11),
// 3 unpaid (10.1.1.12), 4 gate client (10.1.2.13), 6 and 7 sharing 10.1.2.50,
// 8 paid with a MAC not yet known (10.1.2.14); client 5 of router 2 (10.9.9.5).
void load_router(TestDatabase& db);

// The MAC stored for each demo address.
std::string mac_of(const std::string& ip);

// iptables-legacy-save of one table without comments and counters.
std::string saved_table(const std::string& table);
// "ADDRESS,MAC" members of a set, sorted; empty when the set is missing.
std::vector<std::string> set_members(const std::string& set);
bool set_exists(const std::string& set);

// Runs the installed runner as its caller would.
RunResult runner(const std::vector<std::string>& args);
// Calls a module entry point through the test host (see module_host.cc).
RunResult module_host(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// Writes the router configuration for the database into /zarn/conf and
// empties the logs.
void configure_router(TestDatabase& db);

}  // namespace zarn_test
