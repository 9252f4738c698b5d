// The IPv4 address family as the ARP table read needs it: read a host text
// into an address, print an address as a dotted quad, report a resolver failure.
#pragma once

#include <netinet/in.h>

#include <string>

// One address family: its name and the three operations the ARP tools use.
struct AddressFamily {
  const char* name;
  // Reads `text` into `address`; 0 on success, -1 when it names no IPv4 host.
  int (*input)(const char* text, sockaddr_in* address);
  // The address as a dotted quad.
  std::string (*sprint)(const sockaddr_in& address);
  // Prints the resolver's error for `text` on standard error.
  void (*herror)(const char* text);
};

// The family called `name`; only "inet" is known, anything else gives null.
const AddressFamily* get_aftype(const char* name);

// Reads four dot-separated decimal numbers of 0 to 255, leading zeros allowed
// ("010" is ten, as the database reads it); false for any other text.
bool parse_decimal_quad(const char* text, in_addr* address);

// Reads an IPv4 address: four decimal parts (see parse_decimal_quad), else any
// form the system's inet_aton accepts. False when it is neither.
bool parse_ipv4(const char* text, in_addr* address);
