// The names of the kernel objects the access module makes for an internal
// network A.B.C.D/M, in one place for the module and for the tools that read
// them back. "unpaied" is spelt as routers, their stored rules and their
// operators have always seen it.
#pragma once

#include <string>

namespace kernel_names {

// The set (or, without sets, the chain) of the network's forwarded address and MAC pairs.
inline std::string source_set(unsigned long a, unsigned long b, unsigned long c, unsigned long d, unsigned long m) {
  return "src_" + std::to_string(a) + "_" + std::to_string(b) + "_" + std::to_string(c) + "_" + std::to_string(d) +
         "_" + std::to_string(m);
}

// The chain of the network's forwarded destinations (chain mode with destinations only).
inline std::string destination_chain(unsigned long a, unsigned long b, unsigned long c, unsigned long d,
                                     unsigned long m) {
  return "dst_" + std::to_string(a) + "_" + std::to_string(b) + "_" + std::to_string(c) + "_" + std::to_string(d) +
         "_" + std::to_string(m);
}

// The mangle chain of the network's redirect marks, named by an address's first three parts.
inline std::string unpaid_chain(unsigned long a, unsigned long b, unsigned long c) {
  return "unpaied_" + std::to_string(a) + "_" + std::to_string(b) + "_" + std::to_string(c);
}

}  // namespace kernel_names
