// What the processes of a daemon hold: how many there are and their memory,
// read from /proc (smaps_rollup), for the tests with hostile peers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace zarn_test {

// The processes of one process group at one moment.
struct Census {
  int processes = 0;  // live ones (zombies not counted)
  int zombies = 0;
  long rss_kb = 0;  // sums over the live ones
  long pss_kb = 0;
};

// Counts the processes whose process group is `group` (a daemon started in a
// group of its own, with every process it forked).
Census census(pid_t group);
// "N processes (Z zombies), RSS R kB, PSS P kB".
std::string describe(const Census& c);

// Whether the program runs under AddressSanitizer, whose shadow memory
// multiplies every process's footprint.
bool built_with_sanitizers();

// Processes a census may show beyond the daemon's own: under the sanitizers
// the leak checker runs a task of its own while a process ends.
int process_slack();

// PSS a daemon may gain over the census `before` with `extra_processes` more
// processes: half its size in all plus 2 MB per process; more under the
// sanitizers (shadow memory per process, and the quarantine of freed memory).
long pss_allowance_kb(const Census& before, int extra_processes);

// Raises this process's limit of open descriptors to its hard limit.
void raise_descriptor_limit();

}  // namespace zarn_test
