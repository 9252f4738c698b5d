#include "zarn-router/uptime.h"

#include <cstdio>
#include <cstdlib>

#include "libzarn/format.h"

std::string uptime_line(long seconds) {
  if (seconds <= 60) return format("Uptime: %ld seconds\r\n", seconds);
  if (seconds <= 3600) return format("Uptime: %ld minutes\r\n", seconds / 60);
  return format("Uptime: %ld hours\r\n", seconds / 3600);
}

std::optional<std::string> uptime() {
  FILE* f = std::fopen("/proc/uptime", "re");
  if (!f) return std::nullopt;
  char line[512] = {};
  bool got = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!got) return std::nullopt;
  return uptime_line(std::atol(line));  // the whole seconds before the point
}
