// The router control daemon as the tests meet it: installed under /zarn,
// started as root (it drops to zarn), its firewall built by the real runner
// with recording stub modules, reached over TCP in the sandbox's network.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/testing.h"

namespace zarn_test {

inline constexpr int kRouterPort = 9000;
inline constexpr const char* kMasterAddress = "127.0.0.1";
inline constexpr const char* kOtherAddress = "127.0.0.2";
inline constexpr int kRouterId = 4;
inline constexpr const char* kRouterUser = "demo";
inline constexpr const char* kRouterPassword = "abcde";  // tripledes/ecb under routerkey:
inline constexpr const char* kRouterCipherHex = "48730e77e7766655";
inline constexpr const char* kRouterLogPath = "/zarn/logs/zarn-router.log";
inline constexpr const char* kCallsLog = "/zarn/logs/calls.log";
inline constexpr const char* kDaemonPath = "/zarn/bin/zarn-router";

// A running daemon in a process group of its own; killed with its
// connection processes when it goes out of scope.
class Daemon {
 public:
  explicit Daemon(const std::vector<std::string>& args = {});
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Waits until the listener logged that it is ready (false when it ended or
  // did not get there in time).
  bool wait_ready();
  pid_t pid() const { return pid_; }
  // What the daemon printed on standard output and error.
  std::string output() const;
  // The daemon's children (connection processes), by their parent id.
  std::vector<pid_t> children() const;

 private:
  pid_t pid_ = -1;
  TempDir dir_;
};

// The master's (or an intruder's) end of a control connection, read with a
// time-out so that a missing reply fails the test instead of hanging it.
class Peer {
 public:
  explicit Peer(const char* from = kMasterAddress, int wait_seconds = 10, int port = kRouterPort,
                const char* to = kMasterAddress);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool connected() const { return connected_; }
  void send(const std::string& text);
  // Everything read until `end` has come (included), or until the peer closed
  // or went silent for the wait.
  std::string read_until(const std::string& end);
  // Everything read until the router closed (or reset) the connection, or the
  // wait ended; closed() tells which.
  std::string read_to_close();
  bool closed() const { return closed_; }
  // Leaves abruptly: the connection is reset, not closed in order.
  void reset();
  // Closes both directions at once (wakes a read waiting in another thread).
  void hang_up();
  // Greeting, user, password; what came back after the password.
  std::string login(const std::string& user = kRouterUser, const std::string& password = kRouterPassword);
  // Sends one command line and reads its reply up to `expected`'s end.
  std::string exchange(const std::string& line, const std::string& expected);

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string pending_;
};

// The common scene: logs cleared, stub modules installed, the router's row in
// a fresh database and configuration files that reach it.
class RouterScene {
 public:
  RouterScene();
  TestDatabase& db() { return db_; }
  // The router configuration with these extra lines (later keys win).
  void write_config(const std::string& extra = "");
  void write_notifier(const std::string& text);
  void stub_returns(int value);
  std::string log() const { return read_file(kRouterLogPath); }
  std::string calls() const { return read_file(kCallsLog); }
  void clear_calls();

 private:
  TestDatabase db_;
};

// Waits up to `seconds` for `text` to appear in the file.
bool wait_for_text(const std::string& path, const std::string& text, int seconds = 20);

}  // namespace zarn_test
