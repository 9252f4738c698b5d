// The HTB tree of every device of a router.
#include <cstdlib>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_shaper/client_step.h"
#include "modules/mod_shaper/queries.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/values.h"

extern "C" {
int debug_bandwidth = 0;
}

namespace shaper {

namespace {

constexpr const char* kKernelModules = "sch_cbq sch_tbf sch_sfq sch_prio cls_fw cls_u32 cls_route";

// The class of one kind of traffic (metro 1:10, extern 1:20), its fw filter and its pfifo.
void kind_class(TcBatch& batch, const char* device, const char* mark, const char* rate, const char* minor) {
  if (!usable_device_name(device)) return;
  if (!is_mark(mark ? mark : "")) {
    skip_row("mark", mark ? mark : "");
    return;
  }
  if (!is_rate(rate ? rate : "")) {
    skip_row("rate", rate ? rate : "");
    return;
  }
  batch.add(format("class add dev %s parent 1:1 classid 1:%s htb rate %s ceil %s burst 12k prio 2 quantum 1536", device,
                   minor, rate, rate));
  batch.add(format("filter add dev %s protocol ip parent 1:0 prio 1 handle %s fw classid 1:0x%s", device, mark, minor));
  batch.add(format("qdisc add dev %s parent 1:0x%s handle 0x%s: pfifo limit 5", device, minor, minor));
}

}  // namespace

void class_metro(TcBatch& batch, const char* device, const char* mark, const char* rate) {
  kind_class(batch, device, mark, rate, "10");
}

void class_extern(TcBatch& batch, const char* device, const char* mark, const char* rate) {
  kind_class(batch, device, mark, rate, "20");
}

int devdel(TcBatch& batch, int router_id) {
  SqlResult devices = sql_query(mysql_r, "select device from routers_devices where rid='%d' order by id ", router_id);
  if (sql_num_rows(devices.get()) == 0) return 0;
  while (MYSQL_ROW row = mysql_fetch_row(devices.get()))
    if (usable_device_name(row[0])) batch.add(format("qdisc del dev %s root", row[0]));
  return 1;
}

int devadd(TcBatch& batch, int router_id) {
  SqlResult devices = sql_query(mysql_r,
                                "select `device`,`fw_metro`,`fw_extern`,`bandwidth_metro` from routers_devices  "
                                "where rid='%d' and active=1 order by id",
                                router_id);
  if (sql_num_rows(devices.get()) == 0) return 0;
  while (MYSQL_ROW row = mysql_fetch_row(devices.get())) {
    if (std::atoi(row[1] ? row[1] : "0") == 0 && std::atoi(row[2] ? row[2] : "0") == 0) continue;
    if (!usable_device_name(row[0])) continue;
    const char* dev = row[0];
    const char* rate = row[3] ? row[3] : "";
    if (!is_rate(rate)) {
      skip_row("bandwidth_metro", rate);
      continue;
    }
    batch.add(format("qdisc add dev %s root handle 1: htb default 15", dev));
    batch.add(
        format("class add dev %s parent 1: classid 1:1 htb rate %s ceil %s burst 2k quantum 1536", dev, rate, rate));
    batch.add(format("class add dev %s parent 1:1 classid 1:15 htb rate %s ceil %s burst 12k prio 2 quantum 1536", dev,
                     rate, rate));
    batch.add(format("qdisc add dev %s parent 1:0x15 handle 0x15: pfifo limit 5", dev));
  }
  return 1;
}

int load(TcBatch& batch, int type, int router_id) {
  if (type != 0 && type != 1) {
    write_log("Unsuported type %d for load function.\n", type);
    return 0;
  }
  devdel(batch, router_id);
  if (type == 0) return 1;
  if (debug_bandwidth) write_log("Removed all chains.\n");
  devadd(batch, router_id);
  if (debug_bandwidth) {
    write_log("Added main chains.\n");
    write_log("Searching for devices\n");
  }
  SqlResult devices = sql_query(mysql_r, shaper_queries::kActiveDevices, router_id);
  // The restrictions and addresses of all clients, read once when the first
  // usable device needs them and gone through again for every device.
  RouterClients clients;
  while (MYSQL_ROW row = devices ? mysql_fetch_row(devices.get()) : nullptr) {
    DeviceRow d = device_row(row);
    if (debug_bandwidth) write_log("Device found: %s\n", loggable(d.device).c_str());
    if (!usable_device_row(d)) continue;
    if (d.metro) class_metro(batch, d.device.c_str(), d.fw_metro.c_str(), d.bandwidth_metro.c_str());
    if (d.extern_) class_extern(batch, d.device.c_str(), d.fw_extern.c_str(), d.bandwidth_extern.c_str());
    if (!clients.read) clients = read_router_clients(router_id);
    if (!clients.restrictions) continue;
    mysql_data_seek(clients.restrictions.get(), 0);
    unsigned fields = mysql_num_fields(clients.restrictions.get());
    ClassRegister classes;
    while (MYSQL_ROW r = mysql_fetch_row(clients.restrictions.get()))
      client_step(batch, d, r, fields, clients.addresses ? &*clients.addresses : nullptr, classes);
  }
  // The host finds nothing left to close at its end.
  sql_close(mysql_r);
  mysql_r = nullptr;
  return 1;
}

int modprobe_all(const std::string& program) {
  if (program.empty()) return 0;
  for (const std::string& name : splitStr(kKernelModules, " "))
    if (!run_quietly({program, name})) return 0;
  return 1;
}

}  // namespace shaper

extern "C" {

int restrict_load(int type, int router_id) {
  TcBatch batch;
  return shaper::load(batch, type, router_id);
}

int restrict_devdel(int router_id) {
  TcBatch batch;
  return shaper::devdel(batch, router_id);
}

int restrict_devadd(int router_id) {
  TcBatch batch;
  return shaper::devadd(batch, router_id);
}

void add_class_metro(const char* device, const char* mark, const char* rate) {
  TcBatch batch;
  shaper::class_metro(batch, device, mark, rate);
}

void add_class_extern(const char* device, const char* mark, const char* rate) {
  TcBatch batch;
  shaper::class_extern(batch, device, mark, rate);
}

int restrict_modprobe(void) { return shaper::modprobe_all(find_program("modprobe")); }

}  // extern "C"
