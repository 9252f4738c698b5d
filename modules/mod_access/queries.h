// The database queries that decide what a firewall build holds, shared by the
// access module and the tools that compare the kernel against the database,
// so that the two cannot drift apart.
#pragma once

namespace access_queries {

// The router's internal networks (argument: router id).
inline constexpr const char* kNetworks = "select net from internal_net where rid='%d'";

// The settings that a build forwards (gate clients, with a password, only at
// their login): ip, mac, gate password or NULL (arguments: router id twice).
inline constexpr const char* kPaidSettings =
    "SELECT a.ip,a.mac,b.password FROM internet_settings as a left join internet_gate_auth as b on a.id=b.sid  "
    "WHERE a.mac <> '0' and (a.active = '1'  or a.active = '123') and a.mac <> '' and a.cid in (select id from "
    "internet_clients where remote = '%d') and a.rid = '%d' group by a.ip ORDER BY a.ip ASC";

// The addresses that a build gives a redirect mark (arguments: router id twice).
inline constexpr const char* kUnpaidSettings =
    "SELECT ip FROM internet_settings WHERE active <> '1' and cid in (select id from "
    "internet_clients where remote = '%d') and rid = '%d' ORDER BY id ASC";

// The mark rule of one unpaid address: action (A or D), its unpaid chain
// (kernel_names::unpaid_chain), the address; the second form adds the
// operator's ports.
inline constexpr const char* kMarkRule = "-t mangle -%c %s -s %s -m multiport -p tcp --dports 80 -j MARK --set-mark 80";
inline constexpr const char* kMarkRuleWithPorts =
    "-t mangle -%c %s -s %s -m multiport -p tcp --dports 80,%s -j MARK --set-mark 80";

}  // namespace access_queries
