#include "libzarn/arp.h"

#include <arpa/inet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "libzarn/arp_packet.h"
#include "libzarn/fd.h"
#include "libzarn/inet_family.h"

namespace {

// The family the table read prints and parses addresses with (set by get_arp).
const AddressFamily* ap = nullptr;

long long monotonic_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Sleeps one second; a signal cuts the sleep short.
void pause_one_second() {
  timespec t{1, 0};
  nanosleep(&t, nullptr);
}

// Owner of a stdio stream.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<std::string> arp_ping(const char* address, const char* interface) {
  const uid_t real_user = getuid();
  FdOwner socket(::socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int socket_errno = errno;
  // A set-user-id caller keeps its privilege only for the socket.
  if (setuid(real_user) != 0) return std::nullopt;
  if (!interface || !*interface || !address) return std::nullopt;
  if (socket.fd < 0) {
    errno = socket_errno;
    return std::nullopt;
  }
  return _arp_ping(socket.fd, interface, address);
}

std::optional<std::string> _arp_ping(int socket, const char* interface, const char* address) {
  std::optional<int> index = usable_arp_interface(socket, interface);
  if (!index) return std::nullopt;
  in_addr target{};
  if (!resolve_arp_target(address, &target)) return std::nullopt;

  sockaddr_ll me{};
  me.sll_family = AF_PACKET;
  me.sll_ifindex = *index;
  me.sll_protocol = htons(ETH_P_ARP);
  if (bind(socket, reinterpret_cast<sockaddr*>(&me), sizeof me) < 0) return std::nullopt;
  socklen_t length = sizeof me;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&me), &length) < 0 || !hardware_length_fits(me.sll_halen))
    return std::nullopt;
  sockaddr_ll he = me;
  std::memset(he.sll_addr, 0xff, he.sll_halen);

  send_pack(socket, in_addr{htonl(INADDR_ANY)}, target, me, he);

  const long long start = monotonic_ms();
  unsigned char packet[4096];
  while (monotonic_ms() - start <= kArpWindowMs) {
    ssize_t got = recv(socket, packet, sizeof packet, MSG_DONTWAIT);
    if (got < 0) {
      pause_one_second();
      continue;
    }
    // Packets of other hosts (their own requests, late answers to other
    // probes) are passed over; the target's answer decides.
    std::optional<ArpSender> sender = read_arp_sender(packet, static_cast<size_t>(got));
    if (!sender || sender->address.s_addr != target.s_addr) continue;
    return sender->mac;
  }
  return std::nullopt;
}

bool hardware_length_fits(unsigned length) { return length > 0 && length <= sizeof(sockaddr_ll::sll_addr); }

ssize_t send_pack(int socket, in_addr source, in_addr target, const sockaddr_ll& me, const sockaddr_ll& he) {
  // The kernel reports the device's whole address length (20 bytes on some
  // links) though it copies no more than the socket address holds.
  if (!hardware_length_fits(me.sll_halen) || !hardware_length_fits(he.sll_halen)) {
    errno = EINVAL;
    return -1;
  }
  unsigned char request[sizeof(arphdr) + 2 * (sizeof me.sll_addr + 4)] = {};
  auto* header = reinterpret_cast<arphdr*>(request);
  const unsigned short hardware = me.sll_hatype == ARPHRD_FDDI ? ARPHRD_ETHER : me.sll_hatype;
  header->ar_hrd = htons(hardware);
  header->ar_pro = htons(ETH_P_IP);
  header->ar_hln = me.sll_halen;
  header->ar_pln = 4;
  header->ar_op = htons(ARPOP_REQUEST);

  unsigned char* p = request + sizeof(arphdr);
  std::memcpy(p, me.sll_addr, me.sll_halen);
  p += me.sll_halen;
  std::memcpy(p, &source, 4);
  p += 4;
  std::memcpy(p, he.sll_addr, he.sll_halen);
  p += he.sll_halen;
  std::memcpy(p, &target, 4);
  p += 4;
  return sendto(socket, request, static_cast<size_t>(p - request), 0, reinterpret_cast<const sockaddr*>(&he),
                sizeof he);
}

std::optional<std::string> get_arp(const char* address, const char* interface) {
  ap = get_aftype("inet");
  if (!ap) return std::nullopt;
  return arp_show(address, interface);
}

std::optional<std::string> arp_show(const char* address, const char* interface) {
  const AddressFamily* family = ap ? ap : get_aftype("inet");
  std::string wanted;
  if (address) {
    sockaddr_in parsed{};
    if (family->input(address, &parsed) < 0) {
      family->herror(address);
      return std::nullopt;
    }
    wanted = family->sprint(parsed);  // compares with the table's dotted text
  }
  std::unique_ptr<FILE, FileCloser> table(std::fopen(kArpTable, "re"));
  if (!table) {
    std::perror(kArpTable);
    return std::nullopt;
  }
  char line[1024];
  if (!std::fgets(line, sizeof line, table.get())) return std::nullopt;  // the header
  while (std::fgets(line, sizeof line, table.get())) {
    char ip[100] = {}, hardware[101] = {}, mask[101] = "-", device[101] = "-";
    unsigned type = 0, flags = 0;
    int fields = std::sscanf(line, "%99s 0x%x 0x%x %100s %100s %100s", ip, &type, &flags, hardware, mask, device);
    if (fields < 4) return std::nullopt;
    if (address && wanted != ip) continue;
    if (interface && *interface && std::strcmp(interface, device) != 0) continue;
    if (std::strlen(hardware) == 17 && std::strcmp(hardware, "00:00:00:00:00:00") != 0) return std::string(hardware);
    return std::nullopt;
  }
  return std::nullopt;
}
