// The login service as the tests meet it: the installed daemon in the
// foreground, and a subscriber's client program driven line by line.
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
  // The two closing lines, each answered; then the client program leaves.
  void expect_good_bye();
  void reset();

 private:
  Peer peer_;
};

}  // namespace zarn_test
