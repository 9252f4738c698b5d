#include "modules/mod_shaper/client_step.h"

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "modules/mod_shaper/queries.h"
#include "modules/mod_shaper/values.h"

namespace shaper {

RouterClients read_router_clients(int router_id) {
  RouterClients clients;
  clients.read = true;
  clients.restrictions = sql_query(mysql_r, shaper_queries::kRouterRestrictions, router_id);
  if (!clients.restrictions) return clients;
  SqlResult addresses = sql_query(mysql_r, shaper_queries::kRouterAddresses, router_id);
  if (addresses) clients.addresses = group_addresses(addresses.get());
  return clients;
}

void client_step(TcBatch& batch, const DeviceRow& d, MYSQL_ROW r, unsigned fields, const AddressBook* book,
                 ClassRegister& classes) {
  if (fields < kRestrictionColumns) {
    write_log("Bandwidth: internet_restrictions has %u columns, %u needed\n", fields, kRestrictionColumns);
    return;
  }
  if (!classes.admit(d, r)) return;
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

  const char* direction = toward_clients ? "dst" : "src";
  // A device without marks issues nothing for its clients.
  if (!book || (!d.metro && !d.extern_)) return;
  for (const std::string& ip : addresses_of(*book, column(r, 1))) {
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
