// Latency and throughput of the control path: "client activate/deactivate"
// over the control protocol against the same runner verb started directly
// (the floor), measured in the same run. Runs inside the sandbox:
//   scripts/sandbox.sh build/root build/bench/router_bench [commands [real]]
// ("real": the access module itself instead of the tests' recording stub)
// with the test database server started (scripts/test-db.sh start build/testdb).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/router_harness.h"

using namespace zarn_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClients = 10000;

// Median and 99th percentile of a sample, in milliseconds.
struct Summary {
  double median = 0;
  double p99 = 0;
};

Summary summarize(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

double since_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void fill_clients(TestDatabase& db) {
  std::string clients = "INSERT INTO internet_clients (id, remote, name) VALUES ";
  std::string settings = "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES ";
  for (int i = 1; i <= kClients; ++i) {
    std::string sep = i == 1 ? "" : ",";
    clients += sep + "(" + std::to_string(i) + ", " + std::to_string(kRouterId) + ", 'client')";
    settings += sep + "(" + std::to_string(i) + ", " + std::to_string(kRouterId) + ", '10." +
                std::to_string(i / 65536 + 1) + "." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) +
                "', '00:11:22:33:" + std::to_string(10 + i / 256 % 90) + ":" + std::to_string(10 + i % 90) + "', 1)";
  }
  db.exec(clients);
  db.exec(settings);
}

// Logs in over a fresh connection; false when the router refused.
bool login(Peer& peer) {
  if (peer.read_until("\r\n") != "220 Zarn Router Server\r\n") return false;
  peer.send(std::string(kRouterUser) + "\r\n");
  peer.read_until("\r\n");
  peer.send(std::string(kRouterPassword) + "\r\n");
  return peer.read_until("\r\n") == "\f222 Authentication accepted.\r\n";
}

// Sends `count` commands alternating activate and deactivate of one client;
// the latency of each, or an empty list when a reply was not a success.
std::vector<double> session(int count, int client) {
  Peer peer(kMasterAddress, 30);
  if (!peer.connected() || !login(peer)) return {};
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    std::string line = std::string(i % 2 ? "client deactivate " : "client activate ") + std::to_string(client);
    auto start = Clock::now();
    if (peer.exchange(line, "222 Success.\r\n") != "222 Success.\r\n") return {};
    ms.push_back(since_ms(start));
  }
  return ms;
}

// Commands per second with `sessions` masters in parallel, `count` each.
double throughput(int sessions, int count) {
  auto start = Clock::now();
  std::vector<pid_t> children;
  for (int s = 0; s < sessions; ++s) {
    pid_t pid = fork();
    if (pid == 0) _exit(session(count, 100 + s).size() == static_cast<size_t>(count) ? 0 : 1);
    children.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok &= WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  if (!ok) return 0;
  return sessions * count / (since_ms(start) / 1000.0);
}

}  // namespace

// The real access module in place of the recording stub, with the router's
// networks, so that every command changes the kernel.
void use_real_access_module(TestDatabase& db) {
  std::filesystem::copy_file(ZARN_ACCESS_MODULE, "/zarn/modules/mod_access.so",
                             std::filesystem::copy_options::overwrite_existing);
  std::string nets = "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES ";
  for (int n = 0; n < 40; ++n) {
    std::string net = "10.1." + std::to_string(n);
    nets += std::string(n ? "," : "") + "(" + std::to_string(kRouterId) + ", '" + net + ".0/24', INET_ATON('" + net +
            ".0'), INET_ATON('" + net + ".255'))";
  }
  db.exec(nets);
}

int main(int argc, char** argv) {
  const int commands = argc > 1 ? std::atoi(argv[1]) : 500;
  const bool real = argc > 2 && std::string(argv[2]) == "real";
  require_private_netns();
  RouterScene scene;
  fill_clients(scene.db());
  if (real) use_real_access_module(scene.db());
  Daemon daemon;
  if (!daemon.wait_ready()) {
    std::fprintf(stderr, "the router did not start:\n%s%s", daemon.output().c_str(), scene.log().c_str());
    return 1;
  }

  // The floor: the same runner verbs started directly (fork, exec, wait, as
  // the daemon does), interleaved with the commands over one session so that
  // both see the same load on this shared machine.
  Peer peer(kMasterAddress, 30);
  if (!peer.connected() || !login(peer)) {
    std::fprintf(stderr, "cannot log in\n%s", scene.log().c_str());
    return 1;
  }
  std::vector<double> direct, protocol;
  for (int i = 0; i < commands; ++i) {
    const char* verb = i % 2 ? "client_stop" : "client_start";
    auto start = Clock::now();
    RunResult r = run_as_zarn({"/zarn/bin/gw-runner", "internet", verb, "17"});
    direct.push_back(since_ms(start));
    if (r.exit_status != 1) {
      std::fprintf(stderr, "the runner failed: %d %s\n", r.exit_status, r.output.c_str());
      return 1;
    }
    // With the real module each command must change the state, so the
    // protocol works on a client of its own.
    std::string line = std::string(i % 2 ? "client deactivate" : "client activate") + (real ? " 18" : " 17");
    start = Clock::now();
    if (peer.exchange(line, "222 Success.\r\n") != "222 Success.\r\n") {
      std::fprintf(stderr, "a command over the protocol failed\n%s", scene.log().c_str());
      return 1;
    }
    protocol.push_back(since_ms(start));
  }
  double one = throughput(1, commands);
  double four = throughput(4, commands / 4);

  Summary d = summarize(direct), p = summarize(protocol);
  std::printf("clients in the database: %d, commands per measurement: %d, access module: %s\n", kClients, commands,
              real ? "real (kernel changed)" : "recording stub");
  std::printf("direct runner          median %7.2f ms   p99 %7.2f ms\n", d.median, d.p99);
  std::printf("over the protocol      median %7.2f ms   p99 %7.2f ms\n", p.median, p.p99);
  std::printf("protocol overhead      median %7.2f ms   (ratio %.2f)\n", p.median - d.median, p.median / d.median);
  std::printf("throughput, 1 session  %7.1f commands/s\n", one);
  std::printf("throughput, 4 sessions %7.1f commands/s   (ratio to 1 session %.2f)\n", four, four / one);
  return 0;
}
