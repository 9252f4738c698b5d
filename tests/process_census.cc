#include "tests/process_census.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/testing.h"

namespace zarn_test {

namespace {

// The value in kB of a "Name:   N kB" line of smaps_rollup, or 0.
long field_kb(const std::string& text, const std::string& name) {
  size_t at = text.find("\n" + name + ":");
  if (at == std::string::npos) at = text.rfind(name + ":", 0) == 0 ? 0 : std::string::npos;
  if (at == std::string::npos) return 0;
  return std::atol(text.c_str() + text.find(':', at) + 1);
}

}  // namespace

Census census(pid_t group) {
  Census c;
  for (const ProcessEntry& p : process_table()) {
    if (p.group != group) continue;
    if (p.state == 'Z') {
      ++c.zombies;
      continue;
    }
    ++c.processes;
    std::string rollup = read_file("/proc/" + std::to_string(p.pid) + "/smaps_rollup");
    c.rss_kb += field_kb(rollup, "Rss");
    c.pss_kb += field_kb(rollup, "Pss");
  }
  return c;
}

std::string describe(const Census& c) {
  std::ostringstream out;
  out << c.processes << " processes (" << c.zombies << " zombies), RSS " << c.rss_kb << " kB, PSS " << c.pss_kb
      << " kB";
  return out.str();
}

bool built_with_sanitizers() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

int process_slack() { return built_with_sanitizers() ? 1 : 0; }

long pss_allowance_kb(const Census& before, int extra_processes) {
  long per_process = built_with_sanitizers() ? 16 * 1024 : 2 * 1024;
  long quarantine = built_with_sanitizers() ? 32 * 1024 : 0;
  return before.pss_kb / 2 + quarantine + per_process * extra_processes;
}

void raise_descriptor_limit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace zarn_test
