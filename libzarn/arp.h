// Learning a host's hardware (MAC) address on an interface: from the kernel's
// ARP table, or by one ARP request over a link-layer packet socket.
#pragma once

#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <optional>
#include <string>

// How long a probe waits for its answer, from the moment the request went out.
inline constexpr int kArpWindowMs = 1500;

// The kernel's ARP table.
inline constexpr const char* kArpTable = "/proc/net/arp";

// Sends one ARP request for `address` on `interface` and waits for the answer:
// the sender's address as "%02X:...:%02X", or nothing (no answer in the
// window, an unusable interface, no right to open a packet socket).
std::optional<std::string> arp_ping(const char* address, const char* interface);

// The same on a link-layer datagram socket the caller opened.
std::optional<std::string> _arp_ping(int socket, const char* interface, const char* address);

// Whether a hardware address of `length` bytes fits a packet-socket address
// (at most 8 bytes); a longer one (InfiniBand's 20, a tunnel's 16) cannot be probed.
bool hardware_length_fits(unsigned length);

// Sends an ARP request (sender `source`, asking for `target`; both in network
// order) from the bound address `me` to the link-layer address `he`. The
// number of bytes sent, or -1 (also when an address length does not fit).
ssize_t send_pack(int socket, in_addr source, in_addr target, const sockaddr_ll& me, const sockaddr_ll& he);

// The hardware address of `address` in the kernel's ARP table on `interface`
// (an empty name matches every device); nothing when the first matching entry
// is incomplete or there is none.
std::optional<std::string> get_arp(const char* address, const char* interface);

// The table read behind get_arp.
std::optional<std::string> arp_show(const char* address, const char* interface);
