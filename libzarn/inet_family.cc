#include "libzarn/inet_family.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

namespace {

int inet_input(const char* text, sockaddr_in* address) {
  std::memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = 0;
  if (parse_ipv4(text, &address->sin_addr)) return 0;
  if (strcasecmp(text, "default") == 0) {
    address->sin_addr.s_addr = INADDR_ANY;
    return 0;
  }
  if (const netent* network = getnetbyname(text)) {
    address->sin_addr.s_addr = htonl(network->n_net);
    return 0;
  }
  const hostent* host = gethostbyname(text);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list[0]) {
    if (host) h_errno = HOST_NOT_FOUND;
    return -1;
  }
  std::memcpy(&address->sin_addr, host->h_addr_list[0], 4);
  return 0;
}

std::string inet_sprint(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

void inet_herror(const char* text) { std::fprintf(stderr, "%s: %s\n", text, hstrerror(h_errno)); }

const AddressFamily kInet = {"inet", inet_input, inet_sprint, inet_herror};

}  // namespace

const AddressFamily* get_aftype(const char* name) {
  if (name && std::strcmp(name, "inet") == 0) return &kInet;
  return nullptr;
}

bool parse_decimal_quad(const char* text, in_addr* address) {
  uint32_t value = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    unsigned number = 0;
    while (*p >= '0' && *p <= '9') {
      number = number * 10 + static_cast<unsigned>(*p++ - '0');
      if (number > 255) return false;
    }
    value = (value << 8) | number;
  }
  if (*p != '\0') return false;
  address->s_addr = htonl(value);
  return true;
}

bool parse_ipv4(const char* text, in_addr* address) {
  if (!text) return false;
  if (parse_decimal_quad(text, address)) return true;
  return inet_aton(text, address) != 0;
}
