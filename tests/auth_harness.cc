#include "tests/auth_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "zarn-auth/credentials.h"

namespace fs = std::filesystem;

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

bool AuthDaemon::ready() { return wait_for_text(kAuthLog, "Zarn-Auth: Accepting connections on port: 7000\n", 10); }

int AuthDaemon::wait_exit(int seconds) { return wait_for_exit(pid_, seconds); }

void AuthDaemon::signal_group(int sig) { kill(-pid_, sig); }
void AuthDaemon::signal_listener(int sig) { kill(pid_, sig); }
std::string AuthDaemon::output() const { return read_file(out_); }

std::string session_of(const std::string& line) { return line.size() < 6 ? "" : line.substr(4, line.size() - 6); }

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
void Subscriber::send_raw(const std::string& bytes) { peer_.send(bytes); }

void Subscriber::expect_good_bye() {
  EXPECT_EQ(line(), "232 Good Bye.\r\n");
  send("bye");
  EXPECT_EQ(line(), "232 Closing Socket.\r\n");
  send("bye");
  peer_.reset();
}

void Subscriber::reset() { peer_.reset(); }

AuthScene::AuthScene() {
  for (const char* address : {kAlice, "127.0.0.22", "127.0.0.23"})
    run({"/usr/sbin/ip", "addr", "add", std::string(address) + "/8", "dev", "lo"});
  for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
  db_.exec(
      "INSERT INTO internet_routers (id, rname, ip, `user`) VALUES (3, 'auth-router', '127.0.0.1', 'zarn_test');"
      "INSERT INTO internal_net (rid, net, host_min, host_max, gw) VALUES"
      " (3, '127.0.0.0/24', INET_ATON('127.0.0.1'), INET_ATON('127.0.0.254'), '127.0.0.1');"
      "INSERT INTO internet_clients (id, remote) VALUES (21, 3), (22, 3), (23, 3);"
      "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES"
      " (21, 3, '127.0.0.21', '02:00:00:00:00:21', 1), (22, 3, '127.0.0.22', '02:00:00:00:00:22', 1),"
      " (23, 3, '127.0.0.23', '02:00:00:00:00:23', 0);"
      // abcdefgh under routerkey
      "INSERT INTO internet_vpn (cid, `user`, pass) VALUES (21, 'alice', UNHEX('6592a29ddd2f0b6f')),"
      " (22, 'bob', UNHEX('6592a29ddd2f0b6f')), (23, 'carol', UNHEX('6592a29ddd2f0b6f'));");
  write_config("ping_client_time 5\nclient_timeout 10\n");
  write_file("/zarn/conf/zarn-router.conf", db_.config_lines());
  RunResult built = runner({"internet", "start", "3"});
  if (built.exit_status != 1)
    throw std::runtime_error("the firewall build failed: " + read_file("/zarn/logs/gw-runner.log"));
  // A login account is forwarded by its login, not by the firewall build.
  for (const char* cid : {"21", "22"})
    if (runner({"ZarnAuth", cid, "stop"}).exit_status != 1) throw std::runtime_error("cannot close the forwarding");
}

void AuthScene::write_config(const std::string& limits) {
  write_file("/zarn/conf/zarn-auth.conf",
             "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\n" + db_.config_lines() + limits);
}

bool forwarded_on_loopback(const std::string& ip) {
  for (const std::string& m : set_members("src_127_0_0_0_24"))
    if (m.rfind(ip + ",", 0) == 0) return true;
  return false;
}

std::string AuthScene::log() const { return read_file(kAuthLog); }

std::string AuthScene::count(const std::string& sql) { return db_.query(sql)[0][0]; }

}  // namespace zarn_test
