#include "tests/hostile_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace zarn_test {

namespace {

// A TCP connection from `from` to 127.0.0.1:port; -1 when it fails.
int connect_from(const char* from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in far{};
  far.sin_family = AF_INET;
  far.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &far.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&far), sizeof far) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

ConnectionFlood::ConnectionFlood(const char* from, int port, int count) {
  for (int i = 0; i < count; ++i) {
    int fd = connect_from(from, port);
    if (fd < 0) {
      failure_ = std::strerror(errno);
      break;
    }
    fds_.push_back(fd);
  }
  greeted_.assign(fds_.size(), false);
  closed_.assign(fds_.size(), false);
}

ConnectionFlood::~ConnectionFlood() { close_all(); }

void ConnectionFlood::close_all() {
  for (int fd : fds_) close(fd);
  fds_.clear();
  greeted_.clear();
  closed_.clear();
}

void ConnectionFlood::poll_once() {
  for (size_t i = 0; i < fds_.size(); ++i) {
    if (closed_[i]) continue;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fds_[i], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        greeted_[i] = true;
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_[i] = true;
      break;
    }
  }
}

int ConnectionFlood::closed_by_peer() {
  poll_once();
  int n = 0;
  for (bool c : closed_) n += c;
  return n;
}

int ConnectionFlood::greeted() {
  poll_once();
  int n = 0;
  for (bool g : greeted_) n += g;
  return n;
}

StreamOutcome stream_until_closed(const char* from, int port, const std::string& pattern, int seconds,
                                  const std::function<void()>& midway) {
  bool midway_done = !midway;
  StreamOutcome outcome;
  int fd = connect_from(from, port);
  if (fd < 0) throw std::runtime_error("cannot connect to " + std::to_string(port));
  std::string block;
  while (block.size() < 65536) block += pattern;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN | POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0 && outcome.received.size() < 4096) outcome.received.append(buf, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        outcome.closed_by_peer = true;
        break;
      }
    }
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) outcome.bytes_sent += n;
      if (!midway_done && outcome.bytes_sent >= (128 << 10)) {
        midway_done = true;
        midway();
      }
      if (n < 0 && errno != EAGAIN) {
        outcome.closed_by_peer = true;
        break;
      }
    }
  }
  close(fd);
  return outcome;
}

Trickler::Trickler(const char* from, int port, char byte, int interval_ms) {
  fd_ = connect_from(from, port);
  if (fd_ < 0) throw std::runtime_error("cannot connect to " + std::to_string(port));
  thread_ = std::thread([this, byte, interval_ms] {
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) received_.append(buf, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
          closed_ = true;
          return;
        }
      }
      if (std::chrono::steady_clock::now() >= next) {
        if (send(fd_, &byte, 1, MSG_NOSIGNAL) < 0) {
          closed_ = true;
          return;
        }
        next += std::chrono::milliseconds(interval_ms);
      }
    }
  });
}

Trickler::~Trickler() {
  stop();
  close(fd_);
}

void Trickler::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string Trickler::received() const { return received_; }

}  // namespace zarn_test
