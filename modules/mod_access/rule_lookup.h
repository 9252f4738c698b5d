// Read-only lookups in what the kernel holds: rules of a committed table
// (a fresh snapshot per call, so changes still pending are not seen; the one
// exception takes the caller's handle) and the members of an ip set.
#pragma once

#include <optional>
#include <string>
#include <vector>

// MAC texts of rules (a rule without a mac match gives an empty entry).
using MacList = std::vector<std::optional<std::string>>;

// MACs of the rules in `chain` of filter with source ip and no destination;
// nothing when the table cannot be read.
std::optional<MacList> GetForward_Source_IpMac(const std::string& ip, const std::string& chain);
// Rules in `chain` of filter whose destination is ip (0 when unreadable).
int GetForward_Destination(const std::string& ip, const std::string& chain);
// MACs of the rules in filter FORWARD whose destination is ip.
std::optional<MacList> GetForward_Destination_IpMac(const std::string& ip);
// Rules for ip in filter FORWARD: [0] as source, [1] as destination (-1, -1 when unreadable).
std::vector<int> forward_check(const std::string& ip);
// Rules for ip as source in nat POSTROUTING / PREROUTING (-1 when unreadable).
int GetPostrouting_Info(const std::string& ip);
int GetPrerouting_Info(const std::string& ip);
// Redirects of ip's port to to_port in nat PREROUTING (-1 when unreadable).
int GetNotifier_Info(const std::string& ip, int port, int to_port);
// Mark rules for ip with first destination port `port` in its unpaid chain (-1 when unreadable).
int GetNotifier_Info_Mark(const std::string& ip, int port, int unused);
struct xtc_handle;
// The same count in an open handle of the mangle table, changes pending in it
// included (-1, logged as GetNotifier_Info_Mark does, when the handle is null).
int notifier_marks_in(xtc_handle* mangle, const std::string& ip, int port);
// 1 when the chain exists in the table, 0 when not, -1 when unreadable.
int Check_Chain(const std::string& chain, const std::string& table);
// MACs bound to ip in the named set; nothing when the set cannot be read.
std::optional<MacList> ipset_GetForward_Source_IpMac(const std::string& ip, const std::string& set);

struct ipt_entry;
// A rule's MAC (first mac match) in upper case, or nothing.
std::optional<std::string> get_mac(const ipt_entry* e);
// A rule's first destination port: -1 without a multiport match, -2 when it is not a tcp destination match.
int get_dport(const ipt_entry* e);
// Six bytes as upper-case hexadecimal pairs joined by colons.
std::string ipset_get_mac(const unsigned char* bytes);
