// A database far away, for the benchmarks: a TCP relay on 127.0.0.1 in front
// of the private server's unix socket that holds every chunk, in each
// direction, for half the round trip before passing it on, so that every
// query and its answer cost one round trip more (this kernel has no netem).
//   delay_proxy PORT SERVER_SOCKET ROUND_TRIP_MS
// Prints "ready" once it listens; runs until it is terminated.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// Bytes read from one side, to be written to the other from `due` on.
struct Chunk {
  Clock::time_point due;
  std::string bytes;
  size_t sent = 0;
};

// One direction of a relayed connection.
struct Flow {
  int from = -1;
  int to = -1;
  std::deque<Chunk> held;
  bool ended = false;  // `from` reached its end: `to` is shut for writing once `held` is empty
};

// A client connection and its connection to the server.
struct Relay {
  Flow up;    // client to server
  Flow down;  // server to client
  bool done() const { return (up.ended && up.held.empty()) && (down.ended && down.held.empty()); }
};

int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 512) != 0) {
    std::perror("delay_proxy: listen");
    std::exit(2);
  }
  return fd;
}

int connect_to(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads what `flow.from` has and holds it; false at its end or on an error.
void take(Flow& flow, Clock::duration hold) {
  char buffer[65536];
  ssize_t n = read(flow.from, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    flow.ended = true;
    return;
  }
  flow.held.push_back({Clock::now() + hold, std::string(buffer, static_cast<size_t>(n))});
}

// Writes the chunks that are due.
void give(Flow& flow) {
  const Clock::time_point now = Clock::now();
  while (!flow.held.empty() && flow.held.front().due <= now) {
    Chunk& c = flow.held.front();
    ssize_t n = write(flow.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n < 0) {
      flow.held.clear();
      flow.ended = true;
      return;
    }
    c.sent += static_cast<size_t>(n);
    if (c.sent < c.bytes.size()) return;
    flow.held.pop_front();
  }
  if (flow.ended && flow.held.empty()) shutdown(flow.to, SHUT_WR);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: delay_proxy PORT SERVER_SOCKET ROUND_TRIP_MS\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const int listener = listen_on(std::atoi(argv[1]));
  const char* server = argv[2];
  const auto hold = std::chrono::microseconds(static_cast<long>(std::atof(argv[3]) * 500.0));
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<std::unique_ptr<Relay>> relays;
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    Clock::time_point next = Clock::time_point::max();
    for (auto& r : relays)
      for (Flow* f : {&r->up, &r->down}) {
        if (!f->ended) fds.push_back({f->from, POLLIN, 0});
        if (!f->held.empty()) next = std::min(next, f->held.front().due);
      }
    timespec timeout{};
    if (next != Clock::time_point::max()) {
      auto wait = std::max<long>(0, std::chrono::ceil<std::chrono::microseconds>(next - Clock::now()).count());
      timeout.tv_sec = wait / 1000000;
      timeout.tv_nsec = (wait % 1000000) * 1000;
    }
    if (ppoll(fds.data(), fds.size(), next == Clock::time_point::max() ? nullptr : &timeout, nullptr) < 0 &&
        errno != EINTR) {
      std::perror("delay_proxy: poll");
      return 2;
    }
    if (fds[0].revents & POLLIN) {
      int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      int upstream = client >= 0 ? connect_to(server) : -1;
      if (upstream >= 0) {
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto r = std::make_unique<Relay>();
        r->up.from = r->down.to = client;
        r->up.to = r->down.from = upstream;
        relays.push_back(std::move(r));
      } else if (client >= 0) {
        close(client);
      }
    }
    size_t i = 1;
    for (auto& r : relays)
      for (Flow* f : {&r->up, &r->down})
        if (!f->ended && i < fds.size() && fds[i].fd == f->from) {
          if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) take(*f, hold);
          ++i;
        }
    for (auto& r : relays) {
      give(r->up);
      give(r->down);
    }
    std::erase_if(relays, [](const std::unique_ptr<Relay>& r) {
      if (!r->done()) return false;
      close(r->up.from);
      close(r->up.to);
      return true;
    });
  }
}
