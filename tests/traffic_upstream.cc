// The upstream ("internet") host's servers for the traffic tests and the
// forwarding benchmark: a web server on TCP port 80 that answers every request
// with one fixed page, and a plain TCP sink on port 9 that reads and discards.
// One process, poll-driven; it ends by itself after the given number of seconds.
//   traffic_upstream SECONDS
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kPage =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 15\r\nConnection: close\r\n\r\nupstream reply\n";

int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    std::perror("traffic_upstream: listen");
    std::exit(2);
  }
  return fd;
}

// One accepted connection: the web side answers once it has read a request head.
struct Connection {
  int fd;
  bool web;
  std::string request;
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: traffic_upstream SECONDS\n");
    return 2;
  }
  const int web = listen_on(80), sink = listen_on(9);
  std::vector<Connection> connections;
  std::printf("listening on 80 and 9\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::vector<pollfd> fds{{web, POLLIN, 0}, {sink, POLLIN, 0}};
    for (const Connection& c : connections) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 200) <= 0) continue;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      Connection& c = connections[i - 2];
      char buffer[65536];
      ssize_t n = read(c.fd, buffer, sizeof buffer);
      if (n > 0 && c.web) {
        c.request.append(buffer, n);
        if (c.request.find("\r\n\r\n") == std::string::npos && c.request.size() < 8192) continue;
        ssize_t ignored = write(c.fd, kPage, std::strlen(kPage));
        (void)ignored;
      } else if (n > 0 || (n < 0 && errno == EAGAIN)) {
        continue;
      }
      close(c.fd);
      c.fd = -1;
    }
    std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
    for (int listener : {web, sink}) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) connections.push_back({fd, listener == web, ""});
    }
  }
  return 0;
}
