// A gateway with real traffic through it, for the traffic tests: the sandbox's
// network namespace is the router; subscriber hosts sit on the LAN bridge lan1
// (10.1.2.0/24, the router 10.1.2.1); the upstream host (namespace "upstream",
// 198.51.100.2) is reached through the router's link wan0 (198.51.100.1) and
// runs a web server on port 80, a TCP sink on port 9 and two iperf3 servers.
// Every packet a test sends stays between these namespaces.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/subscriber_lan.h"
#include "tests/testing.h"

namespace zarn_test {

inline constexpr const char* kUpstream = "198.51.100.2";
inline constexpr const char* kLanGateway = "10.1.2.1";
inline constexpr int kIperfPorts[] = {5201, 5202};

// A subscriber host of the rig's router: the registered address and MAC.
struct TrafficHost {
  const char* name;
  const char* address;
  const char* mac;
};

// The subscribers the rig's database knows (router 1, network 10.1.2.0/24):
// alice and bob paid (clients 1 and 2), carol unpaid (3), dave paid with a
// notice (active 123, client 4), erin paid (5) with her MAC not yet known,
// frank (6) a gate client, opened only by his gate login. Bob has a login
// account (bob / abcdefgh) for zarn-auth.
inline constexpr TrafficHost kHostAlice{"alice", "10.1.2.10", "02:00:00:00:02:0A"};
inline constexpr TrafficHost kHostBob{"bob", "10.1.2.11", "02:00:00:00:02:0B"};
inline constexpr TrafficHost kHostCarol{"carol", "10.1.2.12", "02:00:00:00:02:0C"};
inline constexpr TrafficHost kHostDave{"dave", "10.1.2.13", "02:00:00:00:02:0D"};
inline constexpr TrafficHost kHostErin{"erin", "10.1.2.14", "02:00:00:00:02:0E"};
inline constexpr TrafficHost kHostFrank{"frank", "10.1.2.15", "02:00:00:00:02:0F"};
// A host the database does not know.
inline constexpr TrafficHost kHostMallory{"mallory", "10.1.2.66", "02:00:00:00:02:66"};

// Router 1 (address 127.0.0.1, the control service's) with its network
// 10.1.2.0/24 on lan1 (gateway 10.1.2.1) and the subscribers above; lan1 shaped for metro traffic
// (parent 1:10 at 10 Mbit/s, alice and bob 4 Mbit/s guaranteed, 8 Mbit/s
// ceiling, classes 1:21 and 1:23).
void load_traffic_router(TestDatabase& db);

// The router's namespace and its neighbours; all removed when it goes out of scope.
class TrafficRig {
 public:
  TrafficRig();
  ~TrafficRig();
  TrafficRig(const TrafficRig&) = delete;
  TrafficRig& operator=(const TrafficRig&) = delete;

  // A host on the LAN with this address and MAC, its default route via the router.
  void add_host(const TrafficHost& host);
  void add_host(const std::string& name, const std::string& address, const std::string& mac);
  // Gives a host another address (the old one removed) and MAC.
  void readdress(const std::string& name, const std::string& address, const std::string& mac);
  // Takes a host's link down or up (with its default route again).
  void set_link(const std::string& name, bool up);
  RunResult in_host(const std::string& name, const std::vector<std::string>& argv);
  RunResult in_upstream(const std::vector<std::string>& argv);

  // Whether a web request from the host to the upstream gets its page within a second.
  bool web_reaches(const std::string& host, int port = 80);
  // How many of `count` echo requests (10 ms apart) from the host the upstream answered.
  int pings_answered(const std::string& host, int count = 5);
  // Download rate (kbit/s at the receiver) of `seconds` of iperf3 from the upstream to the host.
  double download_kbits(const std::string& host, int seconds, int port = kIperfPorts[0]);

 private:
  std::unique_ptr<SubscriberLan> lan_;
  std::vector<pid_t> servers_;
};

// Echo requests from a host to the upstream at a fixed interval in the
// background (ping -D), and the wall-clock time of every reply.
class PingStream {
 public:
  PingStream(const std::string& host, int interval_ms, int seconds);
  ~PingStream();
  PingStream(const PingStream&) = delete;
  PingStream& operator=(const PingStream&) = delete;
  // Waits for ping to end; then sent() and replies() hold.
  void finish();
  // Interrupts ping, then finish().
  void stop();
  int sent() const { return sent_; }
  // Seconds since the epoch at which each reply came.
  const std::vector<double>& replies() const { return replies_; }
  // Seconds from `from` to the first reply at or after it; -1 when none came.
  double first_reply_after(double from) const;
  // The replies that came at or after `from`.
  long replies_after(double from) const;
  // The last reply at or before `until`, in seconds after `from` (negative when none came after `from`).
  double last_reply_after(double from, double until) const;

 private:
  pid_t pid_ = -1;
  std::string file_;
  int sent_ = 0;
  std::vector<double> replies_;
};

// UDP datagrams from a host to the upstream's port 9 at a fixed interval in the
// background, sent whatever comes back (tests/traffic_sender.cc).
class UdpStream {
 public:
  UdpStream(const std::string& host, int interval_us, int seconds);
  ~UdpStream();
  UdpStream(const UdpStream&) = delete;
  UdpStream& operator=(const UdpStream&) = delete;
  // Interrupts the sender; how many datagrams it sent.
  long stop();

 private:
  pid_t pid_ = -1;
  std::string file_;
};

// Starts argv in the background, its output in `file`, with `env` as its
// environment (this process's when empty); its process id.
pid_t start_background(const std::vector<std::string>& argv, const std::string& file,
                       const std::vector<std::string>& env = {});

// Seconds since the epoch, as ping -D writes them.
double wall_clock();

// Runs an iptables-legacy command in the router's namespace, or in the named
// one (ip netns); fails the test when it fails.
void iptables(const std::vector<std::string>& args, const std::string& netns = "");
// The packet count of the rule of `chain` in `table` whose line (iptables -nvxL) holds `text`; -1 when none.
long rule_packets(const std::string& table, const std::string& chain, const std::string& text,
                  const std::string& netns = "");

}  // namespace zarn_test
