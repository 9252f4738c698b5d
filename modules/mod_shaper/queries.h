// The database queries that decide what a shaping rebuild holds, shared by
// the shaping module and the tools that compare the kernel against the
// database, so that the two cannot drift apart.
#pragma once

namespace shaper_queries {

// The router's active devices with their marks and rates (argument: router id).
inline constexpr const char* kActiveDevices =
    "select `device`,`bandwidth_metro`,`in`,`fw_metro`,`fw_extern`,`bandwidth_extern` "
    "from routers_devices where active=1 and rid='%d' order by id";

// The restriction rows of the router's clients (argument: router id).
inline constexpr const char* kRouterRestrictions =
    "select * from internet_restrictions where cid in (select id from internet_clients where remote='%d')";

// The addresses of one client (argument: the escaped client id).
inline constexpr const char* kClientAddresses = "select ip,realip from internet_settings where cid = '%s'";

// The addresses of every client of the router, each client's in the order of
// its settings rows (argument: router id): one round trip for the whole router.
inline constexpr const char* kRouterAddresses =
    "select cid,ip,realip from internet_settings where cid in (select id from internet_clients where remote='%d') "
    "order by id";

// The same rows for one client (argument: the escaped client id).
inline constexpr const char* kClientAddressRows =
    "select cid,ip,realip from internet_settings where cid = '%s' order by id";

}  // namespace shaper_queries
