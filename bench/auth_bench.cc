// Many subscribers at once against the login service: N subscribers log in
// together and stay logged in, answering every probe, for a while; then they
// all vanish. Measures logins per second, probes lost, the memory of a
// subscriber's process and the time until every forwarding is closed again.
// Runs inside the sandbox with the test database server started:
//   scripts/sandbox.sh build/root build/bench/auth_bench [subscribers [seconds]]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/router_harness.h"
#include "zarn-auth/credentials.h"

using namespace zarn_test;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kAuthPort = 7000;
constexpr const char* kGateway = "127.0.0.1";

std::string address_of(int i) { return "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250); }

// What one subscriber saw.
struct Outcome {
  bool accepted = false;
  double login_ms = 0;
  int probes = 0;
};

int set_size() {
  RunResult r = run({"/usr/sbin/ipset", "list", "src_127_0_0_0_22"});
  std::istringstream lines(r.output);
  std::string line;
  bool members = false;
  int n = 0;
  while (std::getline(lines, line)) {
    if (members && !line.empty()) ++n;
    if (line == "Members:") members = true;
  }
  return n;
}

// Proportional and unique (private) memory of a process, in KiB.
std::pair<long, long> memory_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  long pss = 0, priv = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    long value = 0;
    if (!(words >> key >> value)) continue;
    if (key == "Pss:") pss = value;
    if (key == "Private_Clean:" || key == "Private_Dirty:") priv += value;
  }
  return {pss, priv};
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int subscribers = argc > 1 ? std::atoi(argv[1]) : 500;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
  require_private_netns();
  for (int i = 0; i < subscribers; ++i) run({"/usr/sbin/ip", "addr", "add", address_of(i) + "/8", "dev", "lo"});
  for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());

  TestDatabase db;
  std::string clients = "INSERT INTO internet_clients (id, remote) VALUES ";
  std::string settings = "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES ";
  std::string accounts = "INSERT INTO internet_vpn (cid, `user`, pass) VALUES ";
  for (int i = 0; i < subscribers; ++i) {
    std::string sep = i ? "," : "", cid = std::to_string(i + 1);
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", (i >> 8) & 255, i & 255);
    clients += sep + "(" + cid + ", 3)";
    settings += sep + "(" + cid + ", 3, '" + address_of(i) + "', '" + mac + "', 1)";
    accounts += sep + "(" + cid + ", 'user" + cid + "', UNHEX('6592a29ddd2f0b6f'))";  // abcdefgh under routerkey
  }
  db.exec(
      "INSERT INTO internet_routers (id, rname, ip, `user`) VALUES (3, 'bench', '127.0.0.1', 'zarn_test');"
      "INSERT INTO internal_net (rid, net, host_min, host_max, gw) VALUES"
      " (3, '127.0.0.0/22', INET_ATON('127.0.0.1'), INET_ATON('127.0.3.254'), '127.0.0.1');" +
      clients + ";" + settings + ";" + accounts);
  write_file("/zarn/conf/zarn-router.conf", db.config_lines());
  write_file("/zarn/conf/zarn-auth.conf",
             "auth_port 7000\nauth_listen_on 127.0.0.1\ncrypt_key routerkey\n"
             "ping_client_time 5\nclient_timeout 10\n" +
                 db.config_lines());
  if (run_as_zarn({"/zarn/bin/gw-runner", "internet", "start", "3"}).exit_status != 1) return 1;
  for (int i = 0; i < subscribers; ++i) run_as_zarn({"/zarn/bin/gw-runner", "ZarnAuth", std::to_string(i + 1), "stop"});
  std::printf("subscribers: %d, forwarded before the logins: %d\n", subscribers, set_size());

  pid_t daemon = fork();
  if (daemon == 0) {
    execl("/zarn/bin/zarn-auth", "/zarn/bin/zarn-auth", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!wait_for_text("/zarn/logs/zarn-auth.log", "Accepting connections", 10)) return 1;

  std::vector<Outcome> outcomes(static_cast<size_t>(subscribers));
  std::atomic<bool> stay{true};
  std::atomic<int> logged_in{0};
  std::vector<std::unique_ptr<Peer>> peers(static_cast<size_t>(subscribers));
  auto started = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < subscribers; ++i) {
    threads.emplace_back([&, i] {
      auto& peer = peers[static_cast<size_t>(i)];
      peer = std::make_unique<Peer>(address_of(i).c_str(), 30, kAuthPort, kGateway);
      Outcome& o = outcomes[static_cast<size_t>(i)];
      auto t0 = Clock::now();
      peer->read_until("\r\n");
      peer->send(Encrypt("user" + std::to_string(i + 1)) + "\r\n");
      peer->read_until("\r\n");
      peer->send(Encrypt("abcdefgh") + "\r\n");
      peer->read_until("\r\n");
      peer->send(Encrypt(kGateway) + "\r\n");
      o.accepted = peer->read_until("\r\n") == "222 Authentication accepted.\r\n";
      o.login_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      if (!o.accepted) return;
      ++logged_in;
      std::string session = peer->read_until("\r\n");
      session = session.size() > 6 ? session.substr(4, session.size() - 6) : "";
      while (stay) {
        std::string line = peer->read_until("\r\n");
        if (line.empty()) break;
        if (line == "228 SessionID\r\n") {
          peer->send(session + "\r\n");
          ++o.probes;
        }
      }
    });
  }
  while (logged_in < subscribers && Clock::now() - started < std::chrono::seconds(120))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double login_s = std::chrono::duration<double>(Clock::now() - started).count();
  int refused = 0;
  for (auto& o : outcomes) refused += !o.accepted && o.login_ms > 0;
  std::printf("accepted: %d in %.2f s (%.1f logins/s), refused or failed: %d\n", logged_in.load(), login_s,
              logged_in / login_s, refused);
  std::this_thread::sleep_for(std::chrono::seconds(8));
  std::printf("forwarded while logged in: %d\n", set_size());

  // Memory of the subscriber processes (the daemon's children).
  std::vector<long> pss, unique;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    size_t paren = text.rfind(')');
    int ppid = 0;
    char state;
    if (paren == std::string::npos || sscanf(text.c_str() + paren + 1, " %c %d", &state, &ppid) != 2) continue;
    if (ppid != daemon) continue;
    auto [p, u] = memory_of(std::stoi(name));
    pss.push_back(p);
    unique.push_back(u);
  }
  std::sort(pss.begin(), pss.end());
  std::sort(unique.begin(), unique.end());
  if (!pss.empty())
    std::printf("subscriber processes: %zu, median PSS %ld KiB, median unique %ld KiB\n", pss.size(),
                pss[pss.size() / 2], unique[unique.size() / 2]);

  std::this_thread::sleep_for(std::chrono::seconds(std::max(0, seconds - 8 - static_cast<int>(login_s))));
  std::string log = read_file("/zarn/logs/zarn-auth.log");
  int lost = 0;
  for (size_t at = 0; (at = log.find("Response was null retry", at)) != std::string::npos; ++at) ++lost;
  std::vector<int> probes;
  for (auto& o : outcomes) probes.push_back(o.probes);
  std::sort(probes.begin(), probes.end());
  std::printf("after %d s: probes answered per subscriber min %d median %d, probes lost (retries logged) %d\n", seconds,
              probes.front(), probes[probes.size() / 2], lost);

  // Everybody vanishes at once.
  stay = false;
  auto vanished = Clock::now();
  for (auto& p : peers)
    if (p) p->hang_up();
  for (auto& t : threads) t.join();
  while (set_size() > 0 && Clock::now() - vanished < std::chrono::seconds(120))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("all forwardings closed %.2f s after the subscribers vanished (left: %d)\n",
              std::chrono::duration<double>(Clock::now() - vanished).count(), set_size());
  kill(daemon, SIGKILL);
  waitpid(daemon, nullptr, 0);
  return 0;
}
