// Rows the shaper reads: a router's devices and a client's rates, with the
// checks that keep a bad value out of the tc lines.
#pragma once

#include <mysql.h>

#include <string>

namespace shaper {

// One row of routers_devices, as the device queries select it.
struct DeviceRow {
  std::string device;
  std::string bandwidth_metro;
  std::string bandwidth_extern;
  std::string fw_metro;
  std::string fw_extern;
  int in = 0;            // direction: non-zero towards the clients
  bool metro = false;    // atoi(fw_metro) non-zero
  bool extern_ = false;  // atoi(fw_extern) non-zero
};

// Reads a row of the query "select device, bandwidth_metro, in, fw_metro,
// fw_extern, bandwidth_extern ..." (SQL null as empty text).
DeviceRow device_row(MYSQL_ROW row);

// Whether every value the row puts into a tc line is sound: the device name
// always; when a mark is set bandwidth_metro, and the set marks with their
// rates. A bad row is logged ("Bandwidth: row skipped, ...") and false.
bool usable_device_row(const DeviceRow& row);
// The same for a device name alone.
bool usable_device_name(const char* device);
// Logs "Bandwidth: row skipped, bad WHAT: VALUE" and gives false.
bool skip_row(const char* what, const std::string& value);

// Column count of internet_restrictions that the shaper reads (0 to 11).
inline constexpr unsigned kRestrictionColumns = 12;

// A restriction row's column as text ("0" for SQL null).
const char* column(MYSQL_ROW r, unsigned index);

}  // namespace shaper
