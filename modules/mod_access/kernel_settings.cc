// Kernel limits written at firewall build.
#include <cstdio>

#include "libzarn/config.h"
#include "modules/mod_access/firewall.h"

namespace {

// Writes the decimal value into a /proc file; results are ignored.
void write_setting(const char* path, int value, bool only_if_exists = true) {
  if (only_if_exists && !file_exists(path)) return;
  FILE* f = std::fopen(path, "w+");
  if (!f) return;
  std::fprintf(f, "%d", value);
  std::fclose(f);
}

}  // namespace

extern "C" void ip_forward(int value) { write_setting("/proc/sys/net/ipv4/ip_forward", value); }

extern "C" void ip_conntrack_max(int value) {
  write_setting("/proc/sys/net/ipv4/ip_conntrack_max", value);
  write_setting("/proc/sys/net/nf_conntrack_max", value);
}

extern "C" void neigh_increase(int value) {
  write_setting("/proc/sys/net/ipv4/neigh/default/gc_thresh1", value);
  write_setting("/proc/sys/net/ipv4/neigh/default/gc_thresh2", value);
  write_setting("/proc/sys/net/ipv4/neigh/default/gc_thresh3", value);
}

extern "C" void route_max_size(int value) { write_setting("/proc/sys/net/ipv4/route/max_size", value, false); }
