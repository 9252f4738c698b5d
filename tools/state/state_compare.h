// The differences between what the router should hold and what it holds.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/state/state_model.h"

namespace zarn_state {

// Reason texts, also the keys of the machine-readable forms.
inline constexpr const char* kForwardingMissing = "forwarding missing";
inline constexpr const char* kWrongMac = "wrong MAC";
inline constexpr const char* kStaleNotPaid = "forwarding stale: not paid";
inline constexpr const char* kStaleGateNotLoggedIn = "forwarding stale: gate client not logged in";
inline constexpr const char* kStaleClientGone = "forwarding stale: client gone";
inline constexpr const char* kMarkMissing = "mark missing";
inline constexpr const char* kMarkStale = "mark stale";
inline constexpr const char* kMarkDuplicated = "mark duplicated";
inline constexpr const char* kSetMissing = "set missing";
inline constexpr const char* kChainMissing = "chain missing";

// Every difference, sets and chains first, then by address.
std::vector<Difference> compare(const Desired& desired, const Held& held);

// The network of `networks` that holds the dotted address, or null.
const Network* network_of(const std::vector<Network>& networks, const std::string& ip);

// The network with its set and chain names, from A.B.C.D/M; nothing when malformed.
std::optional<Network> make_network(const std::string& net);

}  // namespace zarn_state
