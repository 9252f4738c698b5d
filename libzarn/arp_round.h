// Probing many hosts at once: one ARP request per address, sent at a bounded
// rate on one link-layer packet socket, each answer matched to its address
// and every address given the whole window of a single probe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "libzarn/arp.h"

// One address to probe and the interface to ask on.
struct ArpProbe {
  std::string address;
  std::string interface;
};

// What came of one probe of a round.
struct ArpProbeResult {
  bool probed = false;             // false: the round stopped before its turn
  std::optional<std::string> mac;  // the answer, as arp_ping gives it
};

// How a round sends: at most `per_second` requests a second on average over
// the round (0: all at once), each waiting `window_ms` for its answer from the
// moment its request went out.
struct ArpRoundPace {
  int per_second = 0;
  int window_ms = kArpWindowMs;
};

// Probes every address as arp_ping does, side by side: result i belongs to
// probe i. An unusable interface or address gives no answer at once and sends
// nothing; probes of the same address on the same interface share one
// request. `stop` is asked before each request: once it says yes nothing more
// is sent, the requests sent still get their window, and the rest are left
// unprobed. Needs the right to open a packet socket, which it drops after
// opening it, as arp_ping does; without it nothing answers.
std::vector<ArpProbeResult> arp_ping_round(const std::vector<ArpProbe>& probes, const ArpRoundPace& pace,
                                           const std::function<bool()>& stop);
