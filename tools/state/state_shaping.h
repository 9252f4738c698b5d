// Shaping: the per-client HTB classes and u32 filters that a rebuild would
// make from the database, against those the kernel holds.
#pragma once

#include <mysql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"
#include "tools/state/state_tc.h"

namespace zarn_state {

inline constexpr const char* kClassMissing = "class missing";
inline constexpr const char* kClassStale = "class stale";
inline constexpr const char* kClassWrongRate = "class wrong rate";
inline constexpr const char* kFilterMissing = "filter missing";
inline constexpr const char* kFilterStale = "filter stale";

// A client's class or filter as a rebuild makes it.
struct WantedClass {
  std::string device;
  TcClass cls;
  std::string cid;
};
struct WantedFilter {
  std::string device;
  TcFilter filter;
  std::string cid;
};

// Per-client shaping of the router's devices, wanted and held.
struct Shaping {
  std::vector<std::pair<std::string, std::vector<uint32_t>>> devices;  // device -> its client parents (1:10, 1:20)
  std::vector<WantedClass> wanted_classes;
  std::vector<WantedFilter> wanted_filters;
  std::vector<std::pair<std::string, TcClass>> held_classes;  // per-client classes only
  std::vector<std::pair<std::string, TcFilter>> held_filters;
};

// What a rebuild makes, from the same queries as the shaping module.
std::optional<Shaping> load_shaping(MYSQL* connection, int rid, std::string* error);
// Adds what the kernel holds under the client parents of each device.
bool read_shaping(Shaping& shaping, std::string* error);
// The differences, by device and class, each naming its client with the
// addresses the router's `settings` give it.
std::vector<Difference> compare_shaping(const Shaping& shaping, const std::vector<SettingRow>& settings);

// Bytes per second of a rate text of the shaping module ("2Mbit", "512Kbit").
uint64_t rate_bytes(const std::string& text);

}  // namespace zarn_state
