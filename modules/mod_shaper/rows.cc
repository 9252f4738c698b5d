#include "modules/mod_shaper/rows.h"

#include <cstdlib>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_shaper/queries.h"
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

void client_step(TcBatch& batch, const DeviceRow& d, MYSQL_ROW r, unsigned fields) {
  if (fields < kRestrictionColumns) {
    write_log("Bandwidth: internet_restrictions has %u columns, %u needed\n", fields, kRestrictionColumns);
    return;
  }
  const bool toward_clients = d.in != 0;
  const int m = class_minor(column(r, 10));
  const int e = class_minor(column(r, 11));
  const unsigned first = toward_clients ? 2 : 6;
  const std::string metro_rate = rate_text(column(r, first));
  const std::string metro_ceil = rate_text(column(r, first + 1));
  const std::string extern_rate = rate_text(column(r, first + 2));
  const std::string extern_ceil = rate_text(column(r, first + 3));
  const char* dev = d.device.c_str();

  if (d.metro)
    batch.add(format("class add dev %s parent 1:10 classid 1:0x%d htb rate %s ceil %s burst 12k prio 2 quantum 1536",
                     dev, m, metro_rate.c_str(), metro_ceil.c_str()));
  if (d.extern_)
    batch.add(format("class add dev %s parent 1:20 classid 1:0x%d htb rate %s ceil %s burst 12k prio 2 quantum 1536",
                     dev, e, extern_rate.c_str(), extern_ceil.c_str()));

  SqlResult addresses =
      sql_query(mysql_r, shaper_queries::kClientAddresses, slash_this(column(r, 1)).c_str());
  if (!addresses) return;
  const char* direction = toward_clients ? "dst" : "src";
  // A device without marks issues nothing for its clients.
  if (!d.metro && !d.extern_) return;
  while (MYSQL_ROW a = mysql_fetch_row(addresses.get())) {
    std::string ip = text_of(a[0]);
    if (!is_address(ip)) {
      skip_row("ip", ip);
      continue;
    }
    if (d.metro)
      batch.add(format("filter add dev %s protocol ip pref 10 parent 1:10 u32 match ip %s %s classid 1:0x%d", dev,
                       direction, ip.c_str(), m));
    if (d.extern_)
      batch.add(format("filter add dev %s protocol ip pref 10 parent 1:20 u32 match ip %s %s classid 1:0x%d", dev,
                       direction, ip.c_str(), e));
  }
}

}  // namespace shaper
