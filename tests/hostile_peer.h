// Peers that misbehave on purpose, for the tests of the daemons' limits:
// many raw connections from one address, and a peer that sends without end.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zarn_test {

// Raw connections from one local address to a port on 127.0.0.1, opened
// quickly and held until closed or destroyed.
class ConnectionFlood {
 public:
  ConnectionFlood(const char* from, int port, int count);
  ~ConnectionFlood();
  ConnectionFlood(const ConnectionFlood&) = delete;
  ConnectionFlood& operator=(const ConnectionFlood&) = delete;
  int connected() const { return static_cast<int>(fds_.size()); }
  // Why the connection after the last one made failed ("" when none failed).
  const std::string& failure() const { return failure_; }
  // How many of the connections the far end has closed (reads end or reset)
  // and how many got at least one byte, checked without waiting.
  int closed_by_peer();
  int greeted();
  void close_all();

 private:
  std::vector<int> fds_;
  std::string failure_;
  std::vector<bool> greeted_;
  std::vector<bool> closed_;
  void poll_once();
};

// Sends `pattern` over and over from `from` to the port until the far end
// closes or resets, or `seconds` pass, reading and dropping what comes back;
// `midway` runs once after the first 128 KiB went out.
struct StreamOutcome {
  long long bytes_sent = 0;
  bool closed_by_peer = false;
  std::string received;  // the first 4 KiB that came back
};
StreamOutcome stream_until_closed(const char* from, int port, const std::string& pattern, int seconds,
                                  const std::function<void()>& midway = {});

// A connection that sends one byte every `interval_ms` until stopped, and
// reads what comes back; it notices when the far end closes.
class Trickler {
 public:
  Trickler(const char* from, int port, char byte, int interval_ms);
  ~Trickler();
  Trickler(const Trickler&) = delete;
  Trickler& operator=(const Trickler&) = delete;
  bool closed_by_peer() const { return closed_; }
  // What came back; read it after stop().
  std::string received() const;
  void stop();

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
  std::string received_;
  std::thread thread_;
};

}  // namespace zarn_test
