#include "tests/traffic_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/router_harness.h"

namespace zarn_test {

namespace {

const std::string kIp = "/usr/sbin/ip";

std::string upstream_url(int port) { return "http://" + std::string(kUpstream) + ":" + std::to_string(port) + "/"; }

}  // namespace

pid_t start_background(const std::vector<std::string>& argv, const std::string& file,
                       const std::vector<std::string>& env) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> v, e;
    for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    for (const std::string& a : env) e.push_back(const_cast<char*>(a.c_str()));
    e.push_back(nullptr);
    execve(v[0], v.data(), env.empty() ? environ : e.data());
    _exit(127);
  }
  return pid;
}

void load_traffic_router(TestDatabase& db) {
  db.exec(std::string("INSERT INTO internet_routers (id, rname, ip, `user`, `password`) VALUES (1, 'traffic', '") +
          kMasterAddress + "', '" + kRouterUser + "', UNHEX('" + kRouterCipherHex +
          "'));"
          "INSERT INTO internal_net (id, rid, net, host_min, host_max, gw, device) VALUES"
          " (1, 1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'), '10.1.2.1', 'lan1');"
          "INSERT INTO internet_clients (id, remote) VALUES (1,1),(2,1),(3,1),(4,1),(5,1),(6,1);"
          "INSERT INTO internet_gate_auth (sid, password) VALUES (6, 'secret');"
          // abcdefgh under routerkey
          "INSERT INTO internet_vpn (cid, `user`, pass) VALUES (2, 'bob', UNHEX('6592a29ddd2f0b6f'));"
          "INSERT INTO routers_devices (rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`,"
          " active) VALUES (1, 'lan1', 11, 0, '10Mbit', '0Mbit', 1, 1);"
          "INSERT INTO internet_restrictions VALUES (1, 1, 4000, 8000, 1000, 2000, 1000, 2000, 500, 1000, 1, 2),"
          " (2, 2, 4000, 8000, 1000, 2000, 1000, 2000, 500, 1000, 3, 4);");
  int id = 0;
  for (const auto& [host, active] :
       {std::pair{kHostAlice, 1}, {kHostBob, 1}, {kHostCarol, 0}, {kHostDave, 123}, {kHostErin, 1}, {kHostFrank, 1}}) {
    ++id;
    const std::string mac = std::string(host.name) == kHostErin.name ? "0" : host.mac;
    db.exec("INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (" + std::to_string(id) + "," +
            std::to_string(id) + ",1,'" + host.address + "','" + mac + "'," + std::to_string(active) + ")");
  }
}

TrafficRig::TrafficRig() {
  lan_ = std::make_unique<SubscriberLan>("lan1", std::string(kLanGateway) + "/24");
  // A bridge has no queue of its own; the shaping tree's leaves take their length from it.
  ip({"link", "set", "lan1", "txqueuelen", "1000"});
  write_file("/proc/sys/net/ipv4/ip_forward", "1\n");
  ip({"netns", "add", "upstream"});
  for (const char* key : {"net.ipv6.conf.all.disable_ipv6=1", "net.ipv6.conf.default.disable_ipv6=1"})
    run({kIp, "netns", "exec", "upstream", "/usr/sbin/sysctl", "-q", "-w", key});
  ip({"link", "add", "name", "wan0", "type", "veth", "peer", "name", "eth0", "netns", "upstream"});
  ip({"addr", "add", "198.51.100.1/24", "dev", "wan0"});
  ip({"link", "set", "wan0", "up"});
  ip({"-n", "upstream", "addr", "add", std::string(kUpstream) + "/24", "dev", "eth0"});
  ip({"-n", "upstream", "link", "set", "lo", "up"});
  ip({"-n", "upstream", "link", "set", "eth0", "up"});
  ip({"-n", "upstream", "route", "add", "default", "via", "198.51.100.1"});
  const std::vector<std::string> exec{kIp, "netns", "exec", "upstream"};
  auto server = [&](std::vector<std::string> argv, const std::string& name) {
    argv.insert(argv.begin(), exec.begin(), exec.end());
    servers_.push_back(start_background(argv, "/tmp/traffic-" + name + "-" + std::to_string(getpid())));
  };
  server({ZARN_TRAFFIC_UPSTREAM, "900"}, "upstream");
  for (int port : kIperfPorts) server({"/usr/bin/iperf3", "-s", "-p", std::to_string(port)}, "iperf3");
  bool listening = eventually(
      [&] {
        std::string sockets = in_upstream({"/usr/bin/ss", "-Hltn"}).output;
        for (const char* port : {":80 ", ":9 ", ":5201 ", ":5202 "})
          if (sockets.find(port) == std::string::npos) return false;
        return true;
      },
      10);
  if (!listening)
    ADD_FAILURE() << "the upstream servers did not start: " << in_upstream({"/usr/bin/ss", "-ltn"}).output;
}

TrafficRig::~TrafficRig() {
  for (pid_t pid : servers_) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  run({kIp, "netns", "del", "upstream"});
  run({kIp, "link", "del", "wan0"});
  lan_.reset();
}

void TrafficRig::add_host(const TrafficHost& host) { add_host(host.name, host.address, host.mac); }

void TrafficRig::add_host(const std::string& name, const std::string& address, const std::string& mac) {
  lan_->add_host(name, address, mac);
  ip({"-n", name, "route", "add", "default", "via", kLanGateway});
}

void TrafficRig::readdress(const std::string& name, const std::string& address, const std::string& mac) {
  ip({"-n", name, "addr", "flush", "dev", "eth0"});
  ip({"-n", name, "link", "set", "eth0", "down"});
  ip({"-n", name, "link", "set", "eth0", "address", mac});
  ip({"-n", name, "addr", "add", address + "/24", "dev", "eth0"});
  ip({"-n", name, "link", "set", "eth0", "up"});
  ip({"-n", name, "route", "replace", "default", "via", kLanGateway});
  // The router must not answer with what it learned of the address before.
  run({kIp, "neigh", "flush", "dev", "lan1"});
}

void TrafficRig::set_link(const std::string& name, bool up) {
  lan_->set_host_link(name, up);
  if (up) ip({"-n", name, "route", "replace", "default", "via", kLanGateway});
}

RunResult TrafficRig::in_host(const std::string& name, const std::vector<std::string>& argv) {
  return lan_->in_host(name, argv);
}

RunResult TrafficRig::in_upstream(const std::vector<std::string>& argv) {
  std::vector<std::string> full{kIp, "netns", "exec", "upstream"};
  full.insert(full.end(), argv.begin(), argv.end());
  return run(full);
}

bool TrafficRig::web_reaches(const std::string& host, int port) {
  RunResult r = in_host(host, {"/usr/bin/curl", "-s", "--noproxy", "*", "-m", "1", upstream_url(port)});
  return r.exit_status == 0 && r.output == "upstream reply\n";
}

int TrafficRig::pings_answered(const std::string& host, int count) {
  RunResult r =
      in_host(host, {"/usr/bin/ping", "-n", "-q", "-c", std::to_string(count), "-i", "0.01", "-W", "1", kUpstream});
  std::smatch m;
  static const std::regex received(" ([0-9]+) received");
  return std::regex_search(r.output, m, received) ? std::stoi(m[1]) : -1;
}

double TrafficRig::download_kbits(const std::string& host, int seconds, int port) {
  RunResult r = in_host(host, {"/usr/bin/iperf3", "-c", kUpstream, "-p", std::to_string(port), "-R", "-t",
                               std::to_string(seconds), "-O", "1", "-J"});
  std::smatch m;
  static const std::regex received("\"sum_received\":\\s*\\{[^}]*\"bits_per_second\":\\s*([0-9.eE+]+)");
  if (!std::regex_search(r.output, m, received)) {
    ADD_FAILURE() << "iperf3 from " << host << " gave no receiver rate: " << r.output.substr(0, 2000);
    return -1;
  }
  return std::stod(m[1]) / 1000;
}

PingStream::PingStream(const std::string& host, int interval_ms, int seconds) {
  static int streams = 0;
  file_ = "/tmp/traffic-ping-" + std::to_string(getpid()) + "-" + std::to_string(++streams);
  char interval[16];
  std::snprintf(interval, sizeof interval, "%d.%03d", interval_ms / 1000, interval_ms % 1000);
  pid_ = start_background({kIp, "netns", "exec", host, "/usr/bin/ping", "-n", "-D", "-i", interval, "-w",
                           std::to_string(seconds), "-W", "1", kUpstream},
                          file_);
}

PingStream::~PingStream() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  unlink(file_.c_str());
}

void PingStream::stop() {
  if (pid_ > 0) kill(pid_, SIGINT);
  finish();
}

void PingStream::finish() {
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
  std::istringstream lines(read_file(file_));
  std::string line;
  static const std::regex reply("^\\[([0-9]+\\.[0-9]+)\\] [0-9]+ bytes from ");
  static const std::regex transmitted("^([0-9]+) packets transmitted");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, reply)) replies_.push_back(std::stod(m[1]));
    if (std::regex_search(line, m, transmitted)) sent_ = std::stoi(m[1]);
  }
}

double PingStream::first_reply_after(double from) const {
  for (double t : replies_)
    if (t >= from) return t - from;
  return -1;
}

long PingStream::replies_after(double from) const {
  return std::count_if(replies_.begin(), replies_.end(), [&](double t) { return t >= from; });
}

double PingStream::last_reply_after(double from, double until) const {
  double last = from - 1;
  for (double t : replies_)
    if (t <= until) last = t;
  return last - from;
}

UdpStream::UdpStream(const std::string& host, int interval_us, int seconds) {
  static int streams = 0;
  file_ = "/tmp/traffic-udp-" + std::to_string(getpid()) + "-" + std::to_string(++streams);
  pid_ = start_background({kIp, "netns", "exec", host, ZARN_TRAFFIC_SENDER, kUpstream, "9", std::to_string(interval_us),
                           std::to_string(seconds)},
                          file_);
}

UdpStream::~UdpStream() {
  stop();
  unlink(file_.c_str());
}

long UdpStream::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGINT);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string out = read_file(file_);
  return out.rfind("sent ", 0) == 0 ? std::stol(out.substr(5)) : -1;
}

double wall_clock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

namespace {

std::vector<std::string> iptables_argv(const std::string& netns) {
  std::vector<std::string> argv;
  if (!netns.empty()) argv = {kIp, "netns", "exec", netns};
  argv.push_back("/usr/sbin/iptables-legacy");
  return argv;
}

}  // namespace

void iptables(const std::vector<std::string>& args, const std::string& netns) {
  std::vector<std::string> argv = iptables_argv(netns);
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = run(argv);
  if (r.exit_status != 0) ADD_FAILURE() << "iptables-legacy failed (" << r.exit_status << "): " << r.output;
}

long rule_packets(const std::string& table, const std::string& chain, const std::string& text,
                  const std::string& netns) {
  std::vector<std::string> argv = iptables_argv(netns);
  argv.insert(argv.end(), {"-t", table, "-nvxL", chain});
  RunResult r = run(argv);
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line))
    if (line.find(text) != std::string::npos) return std::stol(line);
  return -1;
}

}  // namespace zarn_test
