#include "tests/auth_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "zarn-auth/credentials.h"

namespace zarn_test {

AuthDaemon::AuthDaemon() {
  out_ = "/zarn/logs/auth-stdout";
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    FILE* f = freopen(out_.c_str(), "w", stdout);
    (void)f;
    dup2(1, 2);
    execl(kAuth.c_str(), kAuth.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid_, pid_);
}

AuthDaemon::~AuthDaemon() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool AuthDaemon::ready() {
  return wait_for_text(kAuthLog, "Zarn-Auth: Accepting connections on port: 7000\n", 10);
}

int AuthDaemon::wait_exit(int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

void AuthDaemon::signal_group(int sig) { kill(-pid_, sig); }
void AuthDaemon::signal_listener(int sig) { kill(pid_, sig); }
std::string AuthDaemon::output() const { return read_file(out_); }

std::string session_of(const std::string& line) {
  return line.size() < 6 ? "" : line.substr(4, line.size() - 6);
}

Subscriber::Subscriber(const char* from, int wait_seconds) : peer_(from, wait_seconds, kAuthPort, kGateway) {}

std::string Subscriber::login(const std::string& user, const std::string& password, const std::string& gateway) {
  EXPECT_EQ(peer_.read_until("\r\n"), "220 Username: \r\n");
  peer_.send(Encrypt(user) + "\r\n");
  EXPECT_EQ(peer_.read_until("\r\n"), "221 Password: \r\n");
  peer_.send(Encrypt(password) + "\r\n");
  EXPECT_EQ(peer_.read_until("\r\n"), "223 Gateway: \r\n");
  peer_.send(Encrypt(gateway) + "\r\n");
  return peer_.read_until("\r\n");
}

std::string Subscriber::line() { return peer_.read_until("\r\n"); }

void Subscriber::send(const std::string& text) { peer_.send(text + "\r\n"); }

void Subscriber::expect_good_bye() {
  EXPECT_EQ(line(), "232 Good Bye.\r\n");
  send("bye");
  EXPECT_EQ(line(), "232 Closing Socket.\r\n");
  send("bye");
  peer_.reset();
}

void Subscriber::reset() { peer_.reset(); }

}  // namespace zarn_test
