#include "modules/mod_shaper/rows.h"

#include <cstdlib>

#include "libzarn/log.h"
#include "modules/mod_shaper/values.h"

namespace shaper {

namespace {

std::string text_of(const char* value) { return value ? value : ""; }

}  // namespace

bool skip_row(const char* what, const std::string& value) {
  write_log("Bandwidth: row skipped, bad %s: %s\n", what, loggable(value).c_str());
  return false;
}

DeviceRow device_row(MYSQL_ROW row) {
  DeviceRow d;
  d.device = text_of(row[0]);
  d.bandwidth_metro = text_of(row[1]);
  d.in = std::atoi(text_of(row[2]).c_str());
  d.fw_metro = text_of(row[3]);
  d.fw_extern = text_of(row[4]);
  d.bandwidth_extern = text_of(row[5]);
  d.metro = std::atoi(d.fw_metro.c_str()) != 0;
  d.extern_ = std::atoi(d.fw_extern.c_str()) != 0;
  return d;
}

bool usable_device_name(const char* device) {
  if (is_device_name(text_of(device))) return true;
  return skip_row("device", text_of(device));
}

bool usable_device_row(const DeviceRow& d) {
  if (!is_device_name(d.device)) return skip_row("device", d.device);
  if ((d.metro || d.extern_) && !is_rate(d.bandwidth_metro)) return skip_row("bandwidth_metro", d.bandwidth_metro);
  if (d.metro && !is_mark(d.fw_metro)) return skip_row("fw_metro", d.fw_metro);
  if (d.extern_ && !is_mark(d.fw_extern)) return skip_row("fw_extern", d.fw_extern);
  if (d.extern_ && !is_rate(d.bandwidth_extern)) return skip_row("bandwidth_extern", d.bandwidth_extern);
  return true;
}

const char* column(MYSQL_ROW r, unsigned index) { return r[index] ? r[index] : "0"; }

}  // namespace shaper
