#include "modules/mod_shaper/per_client_reference.h"

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_shaper/queries.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/values.h"

namespace shaper_reference {

namespace {

using shaper::column;
using shaper::DeviceRow;

// The client step with its own address query.
void client_step(TcBatch& batch, const DeviceRow& d, MYSQL_ROW r, unsigned fields) {
  if (fields < shaper::kRestrictionColumns) {
    write_log("Bandwidth: internet_restrictions has %u columns, %u needed\n", fields, shaper::kRestrictionColumns);
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

  SqlResult addresses = sql_query(mysql_r, shaper_queries::kClientAddresses, slash_this(column(r, 1)).c_str());
  if (!addresses) return;
  const char* direction = toward_clients ? "dst" : "src";
  if (!d.metro && !d.extern_) return;
  while (MYSQL_ROW a = mysql_fetch_row(addresses.get())) {
    std::string ip = a[0] ? a[0] : "";
    if (!is_address(ip)) {
      shaper::skip_row("ip", ip);
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

}  // namespace

int load(TcBatch& batch, int type, int router_id) {
  if (type != 0 && type != 1) {
    write_log("Unsuported type %d for load function.\n", type);
    return 0;
  }
  shaper::devdel(batch, router_id);
  if (type == 0) return 1;
  if (debug_bandwidth) write_log("Removed all chains.\n");
  shaper::devadd(batch, router_id);
  if (debug_bandwidth) {
    write_log("Added main chains.\n");
    write_log("Searching for devices\n");
  }
  SqlResult devices = sql_query(mysql_r, shaper_queries::kActiveDevices, router_id);
  while (MYSQL_ROW row = devices ? mysql_fetch_row(devices.get()) : nullptr) {
    DeviceRow d = shaper::device_row(row);
    if (debug_bandwidth) write_log("Device found: %s\n", loggable(d.device).c_str());
    if (!shaper::usable_device_row(d)) continue;
    if (d.metro) shaper::class_metro(batch, d.device.c_str(), d.fw_metro.c_str(), d.bandwidth_metro.c_str());
    if (d.extern_) shaper::class_extern(batch, d.device.c_str(), d.fw_extern.c_str(), d.bandwidth_extern.c_str());
    SqlResult restrictions = sql_query(mysql_r, shaper_queries::kRouterRestrictions, router_id);
    if (!restrictions) continue;
    unsigned fields = mysql_num_fields(restrictions.get());
    while (MYSQL_ROW r = mysql_fetch_row(restrictions.get())) client_step(batch, d, r, fields);
  }
  sql_close(mysql_r);
  mysql_r = nullptr;
  return 1;
}

int user_add(TcBatch& batch, const char* client_id, int router_id) {
  std::string cid = slash_this(client_id ? client_id : "");
  SqlResult devices = sql_query(mysql_r, shaper_queries::kActiveDevices, router_id);
  while (MYSQL_ROW row = devices ? mysql_fetch_row(devices.get()) : nullptr) {
    DeviceRow d = shaper::device_row(row);
    if (!shaper::usable_device_row(d)) continue;
    if (d.metro) shaper::class_metro(batch, d.device.c_str(), d.fw_metro.c_str(), d.bandwidth_metro.c_str());
    if (d.extern_) shaper::class_extern(batch, d.device.c_str(), d.fw_extern.c_str(), d.bandwidth_extern.c_str());
    SqlResult restrictions =
        sql_query(mysql_r, "select * from internet_restrictions where cid ='%s' order by cid", cid.c_str());
    if (!restrictions) continue;
    unsigned fields = mysql_num_fields(restrictions.get());
    while (MYSQL_ROW r = mysql_fetch_row(restrictions.get())) client_step(batch, d, r, fields);
  }
  return 1;
}

}  // namespace shaper_reference
