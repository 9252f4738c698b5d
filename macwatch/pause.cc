#include "macwatch/pause.h"

#include <sys/select.h>

#include <csignal>
#include <ctime>

#include "macwatch/state.h"

void pause_seconds(double seconds) {
  // The termination signals are held back between the look at `exiting` and
  // the wait, which lets them in again atomically: none is missed in between.
  sigset_t held, previous;
  sigemptyset(&held);
  sigaddset(&held, SIGINT);
  sigaddset(&held, SIGQUIT);
  sigprocmask(SIG_BLOCK, &held, &previous);
  if (!exiting) {
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    pselect(0, nullptr, nullptr, nullptr, &wait, &previous);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}
