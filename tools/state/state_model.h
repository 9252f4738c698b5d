// What the database says a router should hold and what its kernel holds,
// as the state tool compares them.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zarn_state {

// One internal network of the router with the names derived from it.
struct Network {
  std::string net;           // A.B.C.D/M
  std::string source_set;    // src_A_B_C_D_M
  std::string unpaid_chain;  // unpaied_A_B_C
  uint32_t base = 0;         // A.B.C.D as a number, masked
  uint32_t mask = 0;         // M leading one bits
};

// An address the router should forward, with the MAC it must come from.
struct Forward {
  std::string ip;
  std::string mac;  // upper case
};

// A login client's address that is not logged in: forwarded or not, both are right.
struct LoggedOut {
  std::string ip;
  std::string mac;
  int cid = 0;
};

// One address setting of the router with its login state, for the status.
struct SettingRow {
  int id = 0;
  int cid = 0;
  std::string ip;
  std::string mac;
  int active = 0;
  int hostup = 0;
  std::string gate;   // "none", "open" (a gate login is open) or "closed"
  std::string login;  // "none", "open" (logged in) or "closed"
};

// What a fresh build from the database, with the open logins, would hold.
struct Desired {
  std::vector<Network> networks;
  std::map<std::string, std::string> forwards;  // ip -> MAC
  std::map<std::string, LoggedOut> logged_out;  // ip -> login client not logged in
  // Why an address is not forwarded, for stale entries: ip -> reason.
  std::map<std::string, std::string> not_forwarded;
  std::set<std::string> marks;       // unpaid addresses
  std::vector<SettingRow> settings;  // every setting of the router, by id
};

// One mark rule found in an unpaid chain.
struct MarkRule {
  std::string chain;
  int number = 0;  // 1-based position in the chain
};

// What the kernel holds for the router's networks.
struct Held {
  std::set<std::string> sets;                                // source sets that exist
  std::set<std::string> chains;                              // unpaid chains that exist in mangle
  std::map<std::string, std::vector<std::string>> forwards;  // ip -> MACs in its set
  std::map<std::string, std::vector<MarkRule>> marks;        // ip -> its mark rules
  size_t client_classes = 0;                                 // per-client shaping classes on the router's devices
  size_t client_filters = 0;                                 // u32 filters under the client parents
};

// One difference between the two, with its reason.
struct Difference {
  std::string reason;           // "forwarding missing", "mark stale", ...
  std::string ip;               // empty for a set or chain
  std::string mac;              // the MAC the database gives (forwarding)
  std::string kernel_mac;       // the MAC the kernel holds (forwarding)
  std::string object;           // the set or chain concerned
  std::vector<MarkRule> rules;  // mark rules to delete (stale, duplicated)
  std::string cid;              // the client of a shaping difference, when known
  // A shaping difference names its client: the one above, or for a class or
  // filter of no client the one whose address the kernel sends there.
  bool names_client = false;
  std::string client{};                         // "" when no client is known
  std::vector<std::string> client_addresses{};  // that client's addresses in the database
};

}  // namespace zarn_state
