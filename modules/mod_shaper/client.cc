// One client's classes on every active device of a router.
#include <optional>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_shaper/client_step.h"
#include "modules/mod_shaper/queries.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/u32_list.h"
#include "modules/mod_shaper/values.h"

namespace shaper {

namespace {

// More filters than any client has addresses: a bound on the deletes of one class.
constexpr int kMaxClientFilters = 4096;

// Deletes the u32 filters under `parent` of the device that send to class
// 1:0xMINOR and, when one was deleted, the class. false when the first dump failed.
bool remove_kind(TcBatch& batch, const std::string& device, const char* parent, int minor) {
  std::string flowid = format("1:%d", minor);
  // A client has one filter per address; each is deleted from a fresh dump
  // (the delete takes the first one the list holds), and the class goes once
  // no filter sends to it any more.
  bool deleted = false;
  for (int round = 0; round < kMaxClientFilters; ++round) {
    if (rntl_comm(device.c_str(), parent, filter_u32_list) < 0) {
      if (round == 0) return false;
      break;
    }
    if (filter_u32_delete(device.c_str(), parent, flowid.c_str()) != 1) break;
    deleted = true;
  }
  if (deleted) batch.add(format("class del dev %s parent %s classid 1:0x%d", device.c_str(), parent, minor));
  return true;
}

}  // namespace

int user_add(TcBatch& batch, const char* client_id, int router_id) {
  std::string cid = slash_this(client_id ? client_id : "");
  SqlResult devices = sql_query(mysql_r,
                                "select `device`,`bandwidth_metro`,`in`,`fw_metro`,`fw_extern`,`bandwidth_extern` "
                                "from routers_devices where active=1 and rid='%d' order by id",
                                router_id);
  bool read = false;
  SqlResult restrictions;
  std::optional<AddressBook> addresses;
  while (MYSQL_ROW row = devices ? mysql_fetch_row(devices.get()) : nullptr) {
    DeviceRow d = device_row(row);
    if (!usable_device_row(d)) continue;
    if (d.metro) class_metro(batch, d.device.c_str(), d.fw_metro.c_str(), d.bandwidth_metro.c_str());
    if (d.extern_) class_extern(batch, d.device.c_str(), d.fw_extern.c_str(), d.bandwidth_extern.c_str());
    // The client's rows and addresses are read once and gone through again for every device.
    if (!read) {
      read = true;
      restrictions =
          sql_query(mysql_r, "select * from internet_restrictions where cid ='%s' order by cid", cid.c_str());
      // Every row has the same cid, which the addresses are read by.
      MYSQL_ROW first = restrictions ? mysql_fetch_row(restrictions.get()) : nullptr;
      if (first && mysql_num_fields(restrictions.get()) > 1) {
        SqlResult rows = sql_query(mysql_r, shaper_queries::kClientAddressRows, slash_this(column(first, 1)).c_str());
        if (rows) addresses = group_addresses(rows.get());
      }
    }
    if (!restrictions) continue;
    mysql_data_seek(restrictions.get(), 0);
    unsigned fields = mysql_num_fields(restrictions.get());
    ClassRegister classes;
    while (MYSQL_ROW r = mysql_fetch_row(restrictions.get()))
      client_step(batch, d, r, fields, addresses ? &*addresses : nullptr, classes);
  }
  return 1;
}

int user_update(TcBatch& batch, const char* client_id, int router_id) {
  std::string cid = slash_this(client_id ? client_id : "");
  SqlResult restrictions = sql_query(mysql_r, "select * from internet_restrictions where cid = '%s'", cid.c_str());
  MYSQL_ROW r = restrictions ? mysql_fetch_row(restrictions.get()) : nullptr;
  if (!r) return 0;
  if (mysql_num_fields(restrictions.get()) < kRestrictionColumns) return 0;
  SqlResult devices = sql_query(mysql_r,
                                "select device,`bandwidth_metro`,`in`,`fw_metro`,`fw_extern`,`bandwidth_extern` "
                                "from routers_devices where rid='%d' and  active=1 order by id",
                                router_id);
  if (sql_num_rows(devices.get()) == 0) return 0;
  const int m = class_minor(column(r, 10));
  const int e = class_minor(column(r, 11));
  while (MYSQL_ROW row = mysql_fetch_row(devices.get())) {
    DeviceRow d = device_row(row);
    if (!usable_device_name(d.device.c_str())) continue;
    ClassRegister classes;
    if (!classes.admit(d, r)) continue;
    const unsigned first = d.in != 0 ? 2 : 6;
    const char* dev = d.device.c_str();
    if (d.metro)
      batch.add(
          format("class change dev %s parent 1:10 classid 1:0x%d htb rate %s ceil %s burst 12k prio 2 quantum 1536",
                 dev, m, rate_text(column(r, first)).c_str(), rate_text(column(r, first + 1)).c_str()));
    if (d.extern_)
      batch.add(
          format("class change dev %s parent 1:20 classid 1:0x%d htb rate %s ceil %s burst 12k prio 2 quantum 1536",
                 dev, e, rate_text(column(r, first + 2)).c_str(), rate_text(column(r, first + 3)).c_str()));
  }
  return 1;
}

int user_remove(TcBatch& batch, const char* client_id, int router_id) {
  const char* id = client_id ? client_id : "";
  if (debug_bandwidth) write_log("deleting %s on router with id: %d\n", loggable(id).c_str(), router_id);
  SqlResult restrictions =
      sql_query(mysql_r, "select * from internet_restrictions where cid = '%s'", slash_this(id).c_str());
  MYSQL_ROW r = restrictions ? mysql_fetch_row(restrictions.get()) : nullptr;
  if (!r || mysql_num_fields(restrictions.get()) < kRestrictionColumns) {
    write_log("Cannot find client with id: %s\n", loggable(id).c_str());
    if (debug_bandwidth) write_log("All seems to be done?\n");
    return 0;
  }
  SqlResult devices = sql_query(mysql_r,
                                "select device,`bandwidth_metro`,`in`,`fw_metro`,`fw_extern`,`bandwidth_extern` "
                                "from routers_devices where active=1 and rid='%d' order by id",
                                router_id);
  if (sql_num_rows(devices.get()) == 0) {
    if (debug_bandwidth) write_log("Cannot get network devices.\n");
    return 0;
  }
  const int m = class_minor(column(r, 10));
  const int e = class_minor(column(r, 11));
  while (MYSQL_ROW row = mysql_fetch_row(devices.get())) {
    DeviceRow d = device_row(row);
    if (debug_bandwidth) write_log("Found device: %s\n", loggable(d.device).c_str());
    if (!usable_device_name(d.device.c_str())) continue;
    if (debug_bandwidth) write_log("METRO %d EXTERN %d\n", d.metro ? 1 : 0, d.extern_ ? 1 : 0);
    // A number outside the client classes (0 is the shared extern class) is never deleted.
    ClassRegister classes;
    if (!classes.admit(d, r)) continue;
    if (d.metro && !remove_kind(batch, d.device, "1:10", m)) {
      if (debug_bandwidth) write_log("Cannot comunicate with kernel to delete metro entry.\n");
      return 0;
    }
    if (d.extern_ && !remove_kind(batch, d.device, "1:20", e)) {
      if (debug_bandwidth) write_log("Cannot comunicate with kernel to delete extern entry.\n");
      return 0;
    }
  }
  if (debug_bandwidth) write_log("All seems to be done?\n");
  return 0;
}

}  // namespace shaper

extern "C" {

int restrict_user_add(const char* client_id, int router_id) {
  TcBatch batch;
  return shaper::user_add(batch, client_id, router_id);
}

int restrict_user_update(const char* client_id, int router_id) {
  TcBatch batch;
  return shaper::user_update(batch, client_id, router_id);
}

int restrict_user_remove(const char* client_id, int router_id) {
  TcBatch batch;
  return shaper::user_remove(batch, client_id, router_id);
}

}  // extern "C"
