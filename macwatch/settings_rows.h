// The client settings the workers go through, and what they write back.
#pragma once

#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

// Every setting of the router's clients inside one of the internal networks,
// with what its hostup holds.
extern const char* const kPingerQuery;
// The same, only those whose MAC address is still missing ("0", empty or all FF).
extern const char* const kMissingMacQuery;

// One client setting as the worker queries give it.
struct SettingRow {
  std::string ip;
  std::string id;                     // row id of internet_settings, decimal text
  int active = 0;                     // 1 paid, 123 paid with a notice, 0 closed
  std::optional<std::string> device;  // interface of the internal network
  std::optional<std::string> hostup;  // as stored (pinger query only)
};

// The rows of `query` (one of the two above) for `router`; nothing when the
// query failed.
std::optional<std::vector<SettingRow>> select_settings(MYSQL* connection, const char* query, int router);

// Writes a learned MAC address into the row (and only that row).
void store_mac(MYSQL* connection, const SettingRow& row, const std::string& mac);

// The update that records whether the row's host answered its last probe,
// or nothing when the row already says so.
std::optional<std::string> hostup_update(const SettingRow& row, bool answered);

// Whether the row's state asks for its forwarding to be opened (1 or 123).
bool opens_forwarding(const SettingRow& row);
