// A steady sender for the traffic tests: one UDP datagram to ADDRESS:PORT
// every INTERVAL microseconds, without waiting for anything back, until
// SECONDS have passed or it is interrupted; then it prints how many it sent.
//   traffic_sender ADDRESS PORT INTERVAL_US SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t stopping = 0;
void on_signal(int) { stopping = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: traffic_sender ADDRESS PORT INTERVAL_US SECONDS\n");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(std::atoi(argv[2]));
  const long interval_us = std::atol(argv[3]), seconds = std::atol(argv[4]);
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || interval_us <= 0 || seconds <= 0) {
    std::fprintf(stderr, "traffic_sender: bad arguments\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  const time_t end = next.tv_sec + seconds;
  long sent = 0;
  while (!stopping && next.tv_sec < end) {
    // A refused send (no neighbour yet, a full queue) counts as not sent.
    if (sendto(fd, "zarn", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 4) ++sent;
    next.tv_nsec += interval_us * 1000;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  std::printf("sent %ld\n", sent);
  return 0;
}
