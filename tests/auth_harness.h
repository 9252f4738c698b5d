// The login service as the tests meet it: the installed daemon in the
// sandbox, the real runner and access module, the private database.
// Subscribers connect from loopback addresses of their own (127.0.0.x),
// which the router's internal network 127.0.0.0/24 covers.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/router_harness.h"

namespace zarn_test {

inline const std::string kAuth = "/zarn/bin/zarn-auth";
inline const std::string kAuthLog = "/zarn/logs/zarn-auth.log";
inline constexpr int kAuthPort = 7000;
inline constexpr const char* kGateway = "127.0.0.1";
inline constexpr const char* kAlice = "127.0.0.21";  // alice's registered address

// The daemon in the foreground, in a process group of its own so that a
// signal can reach it and its subscriber processes together.
class AuthDaemon {
 public:
  AuthDaemon();
  ~AuthDaemon();
  AuthDaemon(const AuthDaemon&) = delete;
  AuthDaemon& operator=(const AuthDaemon&) = delete;

  bool ready();
  // Waits for it to end by itself; its exit status, or -1.
  int wait_exit(int seconds = 10);
  void signal_group(int sig);
  void signal_listener(int sig);
  pid_t pid() const { return pid_; }
  std::string output() const;

 private:
  pid_t pid_ = -1;
  std::string out_;
};

// The session id of a "227 ID\r\n" line.
std::string session_of(const std::string& line);

// A subscriber's client program, driven line by line.
class Subscriber {
 public:
  explicit Subscriber(const char* from = kAlice, int wait_seconds = 20);
  // The dialogue up to the verdict line; the verdict.
  std::string login(const std::string& user, const std::string& password, const std::string& gateway = kGateway);
  std::string line();
  void send(const std::string& text);
  // Sends bytes as they are, without a line end.
  void send_raw(const std::string& bytes);
  // The two closing lines, each answered; then the client program leaves.
  void expect_good_bye();
  void reset();
  Peer& peer() { return peer_; }

 private:
  Peer peer_;
};

// Whether the kernel forwards for `ip`: a member of the loopback network's set.
bool forwarded_on_loopback(const std::string& ip);

// Router 3 with its internal network 127.0.0.0/24; subscriber alice (21,
// 127.0.0.21, active), 22 (bob, 127.0.0.22, active) and carol (23,
// 127.0.0.23, suspended), all with the password abcdefgh; the firewall built,
// no forwarding open, the logs empty, the configuration written.
class AuthScene {
 public:
  AuthScene();
  TestDatabase& db() { return db_; }
  // zarn-auth.conf with these lines after the common ones.
  void write_config(const std::string& limits);
  // Whether the kernel forwards for `ip` (a member of the network's set).
  bool forwarded(const std::string& ip) { return forwarded_on_loopback(ip); }
  std::string log() const;
  std::string count(const std::string& sql);

 private:
  TestDatabase db_;
};

}  // namespace zarn_test
