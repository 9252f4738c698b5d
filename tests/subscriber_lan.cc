#include "tests/subscriber_lan.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace zarn_test {

namespace {

const std::string kIp = "/usr/sbin/ip";

// /run/netns on a file system of this sandbox's own, so that the names of the
// host namespaces are seen by nobody else.
void private_netns_dir() {
  static bool done = false;
  if (done) return;
  require_private_netns();
  run({"/usr/bin/mkdir", "-p", "/run/netns"});
  if (mount("tmpfs", "/run/netns", "tmpfs", 0, "mode=0755") != 0) throw std::runtime_error("cannot mount /run/netns");
  done = true;
}

// No IPv6 on the LAN: the only packets are the ones a test sends.
void no_ipv6(const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  for (const char* key : {"net.ipv6.conf.all.disable_ipv6=1", "net.ipv6.conf.default.disable_ipv6=1"}) {
    std::vector<std::string> one = argv;
    one.insert(one.end(), {"/usr/sbin/sysctl", "-q", "-w", key});
    run(one);
  }
}

}  // namespace

void ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kIp};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run(argv);
  if (r.exit_status != 0) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    ADD_FAILURE() << "expected success of: " << line << "\nsaw status " << r.exit_status << ": " << r.output;
  }
}

SubscriberLan::SubscriberLan(const std::string& bridge, const std::string& router_address) : bridge_(bridge) {
  private_netns_dir();
  no_ipv6({});
  ip({"link", "add", "name", bridge_, "address", "02:00:00:00:00:01", "type", "bridge"});
  ip({"addr", "add", router_address, "dev", bridge_});
  ip({"link", "set", bridge_, "up"});
}

SubscriberLan::~SubscriberLan() {
  for (const std::string& host : hosts_) run({kIp, "netns", "del", host});
  run({kIp, "link", "del", bridge_});
}

void SubscriberLan::add_host(const std::string& name, const std::string& address, const std::string& mac) {
  ip({"netns", "add", name});
  hosts_.push_back(name);
  no_ipv6({kIp, "netns", "exec", name});
  const std::string port = "p-" + name;
  ip({"link", "add", "name", port, "type", "veth", "peer", "name", "eth0", "netns", name});
  ip({"-n", name, "link", "set", "eth0", "address", mac});
  ip({"-n", name, "addr", "add", address + "/24", "dev", "eth0"});
  ip({"-n", name, "link", "set", "lo", "up"});
  ip({"-n", name, "link", "set", "eth0", "up"});
  ip({"link", "set", port, "master", bridge_, "up"});
  // The port forwards only once the kernel has seen the carrier of both ends.
  auto details = [&] { return run({kIp, "-d", "link", "show", "dev", port}).output; };
  for (int i = 0; i < 60 && details().find("bridge_slave state forwarding") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (details().find("bridge_slave state forwarding") == std::string::npos)
    ADD_FAILURE() << "expected the bridge port " << port << " forwarding, saw " << details();
}

void SubscriberLan::set_host_link(const std::string& name, bool up) {
  ip({"-n", name, "link", "set", "eth0", up ? "up" : "down"});
}

RunResult SubscriberLan::in_host(const std::string& name, const std::vector<std::string>& argv) {
  std::vector<std::string> full{kIp, "netns", "exec", name};
  full.insert(full.end(), argv.begin(), argv.end());
  return run(full);
}

ArpWatch::ArpWatch(SubscriberLan& lan, const std::string& host) {
  (void)lan;  // the host must belong to a LAN that outlives the watch
  static int watches = 0;
  file_ = "/tmp/arp-watch-" + host + "-" + std::to_string(getpid()) + "-" + std::to_string(++watches);
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(kIp.c_str(), "ip", "netns", "exec", host.c_str(), "/usr/bin/tcpdump", "-i", "eth0", "-Q", "in", "-n", "-l",
          "arp", nullptr);
    _exit(127);
  }
  for (int i = 0; i < 100 && lines().find("listening on") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (lines().find("listening on") == std::string::npos) ADD_FAILURE() << "tcpdump did not start: " << lines();
}

ArpWatch::~ArpWatch() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  unlink(file_.c_str());
}

int ArpWatch::count() {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::istringstream text(lines());
  std::string line;
  int frames = 0;
  while (std::getline(text, line)) frames += line.find(" ARP, ") != std::string::npos;
  return frames;
}

std::string ArpWatch::lines() const { return read_file(file_); }

bool SubscriberLan::learn(const std::string& address) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  ssize_t ignored = sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  (void)ignored;
  close(fd);
  for (int i = 0; i < 60; ++i) {
    if (arp_table_line(address).find(" 0x2 ") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string arp_table_line(const std::string& address) {
  std::istringstream table(read_file("/proc/net/arp"));
  std::string line;
  while (std::getline(table, line))
    if (line.rfind(address + " ", 0) == 0) return line;
  return "";
}

}  // namespace zarn_test
