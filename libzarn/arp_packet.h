// The pieces of an ARP probe that a single probe and a round of probes share:
// which interface can be asked, which address is asked about, and what a
// received ARP packet says about its sender.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

// The interface's index when it is up and uses ARP (not loopback); looked up
// by the first 15 characters of its name through `socket`.
std::optional<int> usable_arp_interface(int socket, const char* interface);

// Reads the address a probe asks about: a dotted address (decimal parts), else
// an IPv4 host name.
bool resolve_arp_target(const char* address, in_addr* target);

// The sender of a received ARP packet.
struct ArpSender {
  in_addr address;                 // its protocol address
  std::optional<std::string> mac;  // its hardware address as "%02X:...", nothing when all zero
};

// The sender of an IPv4 ARP packet with a hardware address of six bytes or
// more; nothing for any other packet (too short, another protocol).
std::optional<ArpSender> read_arp_sender(const unsigned char* packet, size_t length);
