// The router's internal networks ("classes") and the names of the sets and
// chains derived from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One internal network: A.B.C.D/M with its first and last host address.
struct NetClass {
  std::string net;
  uint32_t host_min;
  uint32_t host_max;
  int rid;
};

// The classes of every router, loaded once per process by init_handlers.
const std::vector<NetClass>& classes();

extern "C" {
// Loads the classes unless they are loaded already.
void fill_classes();
}

// The `net` of the class holding the dotted address, or nothing (logged).
std::optional<std::string> find_class(const std::string& ip);

// The five numbers of A.B.C.D/M, or of a dotted address (M then 0).
struct NetNumbers {
  unsigned long a = 0, b = 0, c = 0, d = 0, m = 0;
};
NetNumbers net_numbers(const std::string& text);

// src_A_B_C_D_M, dst_A_B_C_D_M and unpaied_A_B_C.
std::string source_name(const std::string& net);
std::string destination_name(const std::string& net);
std::string unpaid_chain(const std::string& address_or_net);

// Whether an id from a command line is a plain decimal number (the database
// would read "1' or '1'='1" as 1 even escaped).
bool is_decimal_id(const char* id);
