#include "tests/router_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace zarn_test {

namespace {

void install_stub(const std::string& stub, const std::string& as) {
  fs::copy_file(std::string(ZARN_STUB_DIR) + "/" + stub + ".so", "/zarn/modules/" + as,
                fs::copy_options::overwrite_existing);
}

// The master's address is lo's own; the second one is added once per sandbox.
void add_second_address() {
  static bool added = false;
  if (added) return;
  RunResult r = run({"/usr/sbin/ip", "addr", "add", std::string(kOtherAddress) + "/8", "dev", "lo"});
  if (r.exit_status != 0 && r.output.find("File exists") == std::string::npos)
    throw std::runtime_error("cannot add the second address: " + r.output);
  added = true;
}

}  // namespace

bool wait_for_text(const std::string& path, const std::string& text, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_file(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Daemon::Daemon(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kDaemonPath};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out = dir_.file("output");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    // Start it as a service manager would, whatever this test inherited.
    signal(SIGPIPE, SIG_DFL);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<char*> v;
    for (auto& a : argv) v.push_back(a.data());
    v.push_back(nullptr);
    char* envp[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
    execve(v[0], v.data(), envp);
    _exit(127);
  }
  setpgid(pid_, pid_);
}

Daemon::~Daemon() {
  kill(-pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
}

bool Daemon::wait_ready() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_file(kRouterLogPath).find("zarn-router: ready for connections\n") != std::string::npos) return true;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Daemon::output() const { return read_file(dir_.file("output")); }

std::vector<pid_t> Daemon::children() const {
  std::vector<pid_t> found;
  for (const ProcessEntry& p : process_table())
    if (p.parent == pid_) found.push_back(p.pid);
  return found;
}

Peer::Peer(const char* from, int wait_seconds, int port, const char* to) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw std::runtime_error("bind failed");
  timeval wait{wait_seconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in router{};
  router.sin_family = AF_INET;
  router.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, to, &router.sin_addr);
  connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&router), sizeof router) == 0;
}

Peer::~Peer() {
  if (fd_ >= 0) close(fd_);
}

void Peer::reset() {
  linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd_);
  fd_ = -1;
}

void Peer::hang_up() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void Peer::send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string Peer::read_until(const std::string& end) {
  for (;;) {
    size_t at = end.empty() ? std::string::npos : pending_.find(end);
    if (at != std::string::npos) {
      std::string got = pending_.substr(0, at + end.size());
      pending_.erase(0, at + end.size());
      return got;
    }
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = n == 0 || (n < 0 && errno == ECONNRESET);  // unread data makes the close a reset
      std::string got = pending_;
      pending_.clear();
      return got;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string Peer::read_to_close() { return read_until(""); }

std::string Peer::login(const std::string& user, const std::string& password) {
  std::string greeting = read_until("\r\n");
  EXPECT_EQ(greeting, "220 Zarn Router Server\r\n");
  send(user + "\r\n");
  std::string prompt = read_until("\r\n");
  EXPECT_EQ(prompt, "221 More Authentication Required\r\n");
  send(password + "\r\n");
  return read_until("\r\n");
}

std::string Peer::exchange(const std::string& line, const std::string& expected) {
  send(line + "\r\n");
  if (expected.empty()) return "";
  // Read up to the reply's last line, so that anything stray before it shows.
  size_t previous = expected.size() > 2 ? expected.rfind("\r\n", expected.size() - 3) : std::string::npos;
  return read_until(previous == std::string::npos ? expected : expected.substr(previous + 2));
}

RouterScene::RouterScene() {
  add_second_address();
  for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
  for (const char* f : {"/zarn/conf/stub-result", "/zarn/conf/stub-pause", "/zarn/conf/zarn-notifier.conf"})
    fs::remove(f);
  install_stub("stub_access", "mod_access.so");
  install_stub("stub_shaper", "mod_shaper.so");
  install_stub("stub_hostops", "mod_hostops.so");
  db_.exec("INSERT INTO internet_routers (id, rname, ip, `user`, `password`) VALUES (" + std::to_string(kRouterId) +
           ", 'test-router', '" + kMasterAddress + "', '" + kRouterUser + "', UNHEX('" + kRouterCipherHex + "'))");
  write_config();
}

void RouterScene::write_config(const std::string& extra) {
  write_file("/zarn/conf/zarn-router.conf", "listenport " + std::to_string(kRouterPort) + "\nlistenaddr " +
                                                kMasterAddress + "\nmaster_server " + kMasterAddress +
                                                "\ncrypt_key routerkey\n" + db_.config_lines() + extra);
}

void RouterScene::write_notifier(const std::string& text) { write_file("/zarn/conf/zarn-notifier.conf", text); }

void RouterScene::stub_returns(int value) { write_file("/zarn/conf/stub-result", std::to_string(value) + "\n"); }

void RouterScene::clear_calls() { fs::remove(kCallsLog); }

}  // namespace zarn_test
