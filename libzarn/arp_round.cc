#include "libzarn/arp_round.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>

#include "libzarn/arp.h"
#include "libzarn/arp_packet.h"
#include "libzarn/fd.h"

namespace {

using Clock = std::chrono::steady_clock;

// Requests sent between two looks at the socket, so that the answers of a
// round that sends all at once never pile up beyond the socket's buffer.
constexpr size_t kSendsBetweenReads = 32;

// Room for the answers of a large round (kept only when the kernel allows it).
constexpr int kReceiveBuffer = 4 << 20;

// One request of the round: an address on an interface, and the probes it answers.
struct Request {
  const sockaddr_ll* me = nullptr;  // the interface as bound: its type, length and own address
  in_addr target{};
  std::vector<size_t> probes;
  enum class State { unsent, waiting, decided } state = State::unsent;
  Clock::time_point deadline{};
  std::optional<std::string> mac;
};

// The interfaces of the round, each looked up and bound once; nothing for an unusable one.
using Interfaces = std::map<std::string, std::optional<sockaddr_ll>>;

// The requests of a round and where they stand.
struct Round {
  int socket = -1;
  Interfaces interfaces;  // the requests point at their interface's bound address here
  std::vector<Request> requests;
  std::unordered_map<uint64_t, size_t> by_sender;  // (interface index, address) -> request
  size_t next_to_send = 0;
  size_t oldest_waiting = 0;  // requests before it are all decided (deadlines grow in sending order)
};

uint64_t sender_key(int index, in_addr address) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(index)) << 32) | address.s_addr;
}

// Binds the socket to the interface for ARP and reads the bound address back.
std::optional<sockaddr_ll> bind_for_arp(int socket, int index) {
  sockaddr_ll me{};
  me.sll_family = AF_PACKET;
  me.sll_ifindex = index;
  me.sll_protocol = htons(ETH_P_ARP);
  if (bind(socket, reinterpret_cast<sockaddr*>(&me), sizeof me) < 0) return std::nullopt;
  socklen_t length = sizeof me;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&me), &length) < 0) return std::nullopt;
  // An address longer than the record holds cannot be sent from it.
  if (!hardware_length_fits(me.sll_halen)) return std::nullopt;
  return me;
}

const sockaddr_ll* interface_for(int socket, const std::string& name, Interfaces& interfaces) {
  auto [at, added] = interfaces.try_emplace(name);
  if (added) {
    std::optional<int> index = usable_arp_interface(socket, name.c_str());
    if (index) at->second = bind_for_arp(socket, *index);
  }
  return at->second ? &*at->second : nullptr;
}

// One request per distinct address and interface; probes that cannot be sent
// are answered at once with nothing.
Round plan(int socket, const std::vector<ArpProbe>& probes, std::vector<ArpProbeResult>& results) {
  Round round;
  round.socket = socket;
  for (size_t i = 0; i < probes.size(); ++i) {
    const sockaddr_ll* me = interface_for(socket, probes[i].interface, round.interfaces);
    in_addr target{};
    if (!me || !resolve_arp_target(probes[i].address.c_str(), &target)) {
      results[i].probed = true;
      continue;
    }
    auto [at, added] = round.by_sender.try_emplace(sender_key(me->sll_ifindex, target), round.requests.size());
    if (added) {
      Request request;
      request.me = me;
      request.target = target;
      round.requests.push_back(std::move(request));
    }
    round.requests[at->second].probes.push_back(i);
  }
  // The socket listens on the round's one interface, or on all of them when
  // there are several (answers are told apart by the interface's index).
  std::vector<int> usable;
  for (const auto& [name, me] : round.interfaces)
    if (me) usable.push_back(me->sll_ifindex);
  if (!usable.empty()) {
    sockaddr_ll listen{};
    listen.sll_family = AF_PACKET;
    listen.sll_protocol = htons(ETH_P_ARP);
    listen.sll_ifindex = usable.size() == 1 ? usable[0] : 0;
    // Unbound, the socket hears every interface, which the index check copes with.
    (void)bind(socket, reinterpret_cast<sockaddr*>(&listen), sizeof listen);
  }
  return round;
}

void send_request(Round& round, Request& request, int window_ms) {
  sockaddr_ll he = *request.me;
  std::memset(he.sll_addr, 0xff, he.sll_halen);
  send_pack(round.socket, in_addr{htonl(INADDR_ANY)}, request.target, *request.me, he);
  request.state = Request::State::waiting;
  request.deadline = Clock::now() + std::chrono::milliseconds(window_ms);
}

// When request `n` may go out: the pace holds on average from the round's start.
Clock::time_point due(size_t n, const ArpRoundPace& pace, Clock::time_point start) {
  if (pace.per_second <= 0) return start;
  return start + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(static_cast<double>(n) / pace.per_second));
}

// Sends the requests that are due, a few at a time; false once `stop` said so.
bool send_due(Round& round, const ArpRoundPace& pace, Clock::time_point start, const std::function<bool()>& stop) {
  for (size_t sent = 0; sent < kSendsBetweenReads && round.next_to_send < round.requests.size(); ++sent) {
    if (due(round.next_to_send, pace, start) > Clock::now()) break;
    if (stop()) return false;
    send_request(round, round.requests[round.next_to_send++], pace.window_ms);
  }
  return true;
}

// Reads every packet waiting on the socket; the first one from an address
// whose request is out decides it. Packets of other hosts, and of an address
// before its request went out, are passed over.
void read_answers(Round& round) {
  unsigned char packet[4096];
  for (;;) {
    sockaddr_ll from{};
    socklen_t length = sizeof from;
    ssize_t got =
        recvfrom(round.socket, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return;
    std::optional<ArpSender> sender = read_arp_sender(packet, static_cast<size_t>(got));
    if (!sender) continue;
    auto at = round.by_sender.find(sender_key(from.sll_ifindex, sender->address));
    if (at == round.by_sender.end()) continue;
    Request& request = round.requests[at->second];
    if (request.state != Request::State::waiting) continue;
    request.state = Request::State::decided;
    request.mac = sender->mac;
  }
}

// Ends the windows that are over: those requests had no answer.
void close_windows(Round& round, Clock::time_point now) {
  for (; round.oldest_waiting < round.next_to_send; ++round.oldest_waiting) {
    Request& request = round.requests[round.oldest_waiting];
    if (request.state == Request::State::waiting) {
      if (request.deadline > now) return;
      request.state = Request::State::decided;
    }
  }
}

// Waits for a packet, at most until the next request is due or the oldest window ends.
void wait_for_packet(const Round& round, std::optional<Clock::time_point> next_due) {
  std::optional<Clock::time_point> until = next_due;
  if (round.oldest_waiting < round.next_to_send) {
    Clock::time_point deadline = round.requests[round.oldest_waiting].deadline;
    until = until ? std::min(*until, deadline) : deadline;
  }
  Clock::duration left = until ? std::max(*until - Clock::now(), Clock::duration::zero()) : Clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd watched{round.socket, POLLIN, 0};
  ppoll(&watched, 1, &timeout, nullptr);  // a signal ends the wait early
}

}  // namespace

std::vector<ArpProbeResult> arp_ping_round(const std::vector<ArpProbe>& probes, const ArpRoundPace& pace,
                                           const std::function<bool()>& stop) {
  std::vector<ArpProbeResult> results(probes.size());
  const uid_t real_user = getuid();
  FdOwner socket(::socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.fd >= 0) {
    if (setsockopt(socket.fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
      setsockopt(socket.fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    // The round's own requests are not answers.
    const int ignore = 1;
    setsockopt(socket.fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignore, sizeof ignore);
  }
  // A set-user-id caller keeps its privilege only for the socket.
  if (setuid(real_user) != 0 || socket.fd < 0) {
    for (ArpProbeResult& result : results) result.probed = true;
    return results;
  }

  Round round = plan(socket.fd, probes, results);
  const Clock::time_point start = Clock::now();
  bool sending = true;
  for (;;) {
    if (sending) sending = send_due(round, pace, start, stop);
    if (round.next_to_send == round.requests.size()) sending = false;
    read_answers(round);
    close_windows(round, Clock::now());
    if (!sending && round.oldest_waiting == round.next_to_send) break;
    std::optional<Clock::time_point> next_due;
    if (sending) next_due = due(round.next_to_send, pace, start);
    wait_for_packet(round, next_due);
  }

  for (const Request& request : round.requests) {
    if (request.state != Request::State::decided) continue;
    for (size_t probe : request.probes) results[probe] = {true, request.mac};
  }
  return results;
}
