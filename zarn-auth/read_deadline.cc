#include "zarn-auth/read_deadline.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "libzarn/process.h"

namespace {

volatile sig_atomic_t watched_socket = -1;
volatile sig_atomic_t struck = 0;

// SIGALRM: shutting the reading side wakes a blocked read, and unlike a flag
// it also ends a read that starts after the signal came.
void strike(int) {
  struck = 1;
  if (watched_socket >= 0) shutdown(watched_socket, SHUT_RD);
}

void set_timer(int seconds) {
  itimerval timer{};
  timer.it_value.tv_sec = seconds;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

ReadDeadline::ReadDeadline(int socket, int seconds) {
  struck = 0;
  watched_socket = socket;
  set_signal(SIGALRM, strike);
  set_timer(seconds);
}

ReadDeadline::~ReadDeadline() {
  // The timer is stopped before its handler goes.
  set_timer(0);
  set_signal(SIGALRM, SIG_DFL);
  watched_socket = -1;
}

bool ReadDeadline::expired() const { return struck != 0; }
