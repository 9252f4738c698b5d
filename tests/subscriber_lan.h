// A subscriber LAN on the real kernel, for the ARP tools and the monitor: a
// bridge in the router's (the sandbox's) network namespace holding the
// router's address, and one network namespace per subscriber host, joined to
// the bridge by a veth pair. A host answers ARP by itself while its link is up.
#pragma once

#include <string>
#include <vector>

#include "tests/testing.h"

namespace zarn_test {

// The LAN; everything it made is removed when it goes out of scope.
class SubscriberLan {
 public:
  explicit SubscriberLan(const std::string& bridge = "lan0", const std::string& router_address = "10.1.2.1/24");
  ~SubscriberLan();
  SubscriberLan(const SubscriberLan&) = delete;
  SubscriberLan& operator=(const SubscriberLan&) = delete;

  const std::string& bridge() const { return bridge_; }
  // A host namespace `name` whose interface eth0 has `address`/24 and `mac`, up.
  void add_host(const std::string& name, const std::string& address, const std::string& mac);
  // Takes the host's own interface down or up.
  void set_host_link(const std::string& name, bool up);
  // Runs a command inside the host's namespace.
  RunResult in_host(const std::string& name, const std::vector<std::string>& argv);
  // Makes the router's kernel resolve `address` by sending it a datagram; true
  // once its table holds a complete entry (within three seconds).
  bool learn(const std::string& address);

 private:
  std::string bridge_;
  std::vector<std::string> hosts_;
};

// Counts the ARP frames that reach a host's interface (tcpdump in its namespace).
class ArpWatch {
 public:
  ArpWatch(SubscriberLan& lan, const std::string& host);
  ~ArpWatch();
  ArpWatch(const ArpWatch&) = delete;
  ArpWatch& operator=(const ArpWatch&) = delete;
  // Frames seen so far (after a short pause for the capture to catch up).
  int count();
  // What the capture printed.
  std::string lines() const;

 private:
  pid_t pid_ = -1;
  std::string file_;
};

// Runs `ip` with the arguments; fails the test when it fails.
void ip(const std::vector<std::string>& args);

// The line of the kernel's ARP table for `address` ("" when there is none).
std::string arp_table_line(const std::string& address);

}  // namespace zarn_test
