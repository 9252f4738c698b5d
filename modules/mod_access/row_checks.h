// Checks of the database values that go into rules and set entries. The rule
// interpreters split a command at blanks, so a stored text with a blank would
// add words to the rule, and a network where an address belongs would widen
// it: a value that fails is logged and its row skipped.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// A dotted IPv4 host address and nothing else.
bool is_host_address(const std::string& text);
// Six colon-separated hexadecimal pairs and nothing else.
bool is_mac_address(const std::string& text);
// The six bytes of such a MAC; false, `mac` untouched or partly set, for any other text.
bool parse_mac(const std::string& text, std::array<uint8_t, 6>* mac);
// A.B.C.D/M (M up to 32) and nothing else.
bool is_network(const std::string& text);
// Decimal ports (0 to 65535) and ranges FIRST:LAST joined by commas, taking
// at most `slots` places of a multiport match (a range takes two), and nothing else.
bool is_port_list(const std::string& text, int slots);
// The places of a mark rule's port list left beside port 80.
inline constexpr int kExtraMarkPorts = 14;
// Logs "Internet: row skipped, bad %s: %s\n" (what, the value with bytes other
// than printable ASCII shown as "?", at most 64 of them); gives false.
bool skip_row(const char* what, const std::string& value);
