#include "macwatch/workers.h"

#include <unistd.h>

#include <cstdio>

#include "libzarn/proctitle.h"
#include "macwatch/signals.h"
#include "macwatch/state.h"

namespace {

// What distinguishes one worker at its start.
struct WorkerKind {
  int crash_id;
  const char* title;
  void (*loop)();
};

pid_t start_worker(const WorkerKind& kind) {
  if (!debug_arp) {
    std::fflush(nullptr);  // the child must not write the launcher's buffered lines again
    pid_t pid = fork();
    if (pid != 0) return pid;
  }
  install_worker_signals();
  exiting = 0;
  child_int_id = kind.crash_id;
  setproctitle("%s", kind.title);
  kind.loop();
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace

pid_t macwatch() { return start_worker({2, "zarn-macwatch: running...", start_finder}); }
pid_t arp_reader() { return start_worker({2, "zarn-arp_reader: running...", start_reader}); }
pid_t arp_pinger() { return start_worker({1, "zarn-arp_ping: running...", start_pinger}); }
