#include "libzarn/arp_packet.h"

#include <net/ethernet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "libzarn/inet_family.h"

namespace {

// Bytes of the fixed ARP header: hardware and protocol type, their lengths, operation.
constexpr size_t kArpHeader = 8;

}  // namespace

bool resolve_arp_target(const char* address, in_addr* target) {
  if (parse_ipv4(address, target)) return true;
  const hostent* host = gethostbyname(address);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list[0]) return false;
  std::memcpy(target, host->h_addr_list[0], 4);
  return true;
}

std::optional<int> usable_arp_interface(int socket, const char* interface) {
  ifreq request{};
  std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
  if (ioctl(socket, SIOCGIFINDEX, &request) < 0) return std::nullopt;
  const int index = request.ifr_ifindex;
  if (ioctl(socket, SIOCGIFFLAGS, &request) < 0) return std::nullopt;
  const int flags = request.ifr_flags;
  if (!(flags & IFF_UP) || (flags & IFF_LOOPBACK) || (flags & IFF_NOARP)) return std::nullopt;
  return index;
}

std::optional<ArpSender> read_arp_sender(const unsigned char* packet, size_t length) {
  if (length < kArpHeader) return std::nullopt;
  const unsigned protocol = (packet[2] << 8) | packet[3];
  const size_t hardware_length = packet[4];
  const size_t protocol_length = packet[5];
  if (protocol != ETH_P_IP || protocol_length != 4 || hardware_length < 6) return std::nullopt;
  if (length < kArpHeader + hardware_length + 4) return std::nullopt;
  const unsigned char* sender_hardware = packet + kArpHeader;
  ArpSender sender{};
  std::memcpy(&sender.address.s_addr, sender_hardware + hardware_length, 4);
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", sender_hardware[0], sender_hardware[1],
                sender_hardware[2], sender_hardware[3], sender_hardware[4], sender_hardware[5]);
  if (std::strcmp(text, "00:00:00:00:00:00") != 0) sender.mac = text;
  return sender;
}
