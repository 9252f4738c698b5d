// The firewall never stands open: hosts the database does not let through
// send without pause while the firewall is rebuilt again and again, cleanly
// and with each kind of bad input that a build meets; the upstream host
// counts every one of their packets that reaches it.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/router_harness.h"
#include "tests/traffic_rig.h"

namespace zarn_test {
namespace {

// Senders that must never get through: an unregistered host, alice's address
// from another MAC, alice's MAC from another address (alice herself is away).
inline constexpr TrafficHost kStranger = kHostMallory;
inline constexpr TrafficHost kSpoofedAddress{"spoofip", "10.1.2.10", "02:00:00:00:02:EE"};
inline constexpr TrafficHost kSpoofedMac{"spoofmac", "10.1.2.67", "02:00:00:00:02:0A"};
inline constexpr TrafficHost kIntruders[] = {kStranger, kSpoofedAddress, kSpoofedMac};

// One kind of input a build meets: how to lay it out and take it away again,
// and the extra redirect ports the runner is given with it.
struct BuildInput {
  const char* name;
  std::function<void(TestDatabase&)> apply;
  std::function<void(TestDatabase&)> revert;
  std::string other_ports;
};

void no_change(TestDatabase&) {}

void remove_operator_files(TestDatabase&) {
  std::filesystem::remove("/zarn/conf/router-ports");
  std::filesystem::remove("/zarn/conf/router-iptables");
}

std::function<void(TestDatabase&)> operator_file(const std::string& name, const std::string& text) {
  return [=](TestDatabase&) { write_file("/zarn/conf/" + name, text); };
}

std::function<void(TestDatabase&)> sql(const std::string& statement) {
  return [=](TestDatabase& db) { db.exec(statement); };
}

std::vector<BuildInput> hostile_inputs() {
  std::string sixteen_ports;
  for (int port = 81; port <= 96; ++port) sixteen_ports += (sixteen_ports.empty() ? "" : ",") + std::to_string(port);
  const std::string remove_extra_nets = "DELETE FROM internal_net WHERE id > 1";
  return {
      {"a paid row whose address is in no network of the router",
       sql("INSERT INTO internet_clients (id, remote) VALUES (9, 1);"
           "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (9, 9, 1, '10.7.7.7',"
           " '02:00:00:00:07:07', 1)"),
       sql("DELETE FROM internet_settings WHERE id = 9; DELETE FROM internet_clients WHERE id = 9"), ""},
      {"two internal_net rows for one network",
       sql("INSERT INTO internal_net (id, rid, net, host_min, host_max) VALUES"
           " (2, 1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'))"),
       sql(remove_extra_nets), ""},
      {"a network wider than /16",
       sql("INSERT INTO internal_net (id, rid, net, host_min, host_max) VALUES"
           " (2, 1, '10.64.0.0/10', INET_ATON('10.64.0.1'), INET_ATON('10.127.255.254'))"),
       sql(remove_extra_nets), ""},
      {"other_ports with a CR", no_change, no_change, "8080\r"},
      {"other_ports with a service name", no_change, no_change, "http"},
      {"other_ports with more than 15 ports", no_change, no_change, sixteen_ports},
      {"a bad router-ports line", operator_file("router-ports", "22|tcp|all\nnot-a-port|tcp|all\n"),
       remove_operator_files, ""},
      {"a personal rule libxtables refuses",
       operator_file("router-iptables", "-A FORWARD -m no-such-match --no-such-option -j ACCEPT\n"),
       remove_operator_files, ""},
      {"a CRLF router-ports file", operator_file("router-ports", "22|tcp|all\r\n"), remove_operator_files, ""},
      {"a CRLF router-iptables file", operator_file("router-iptables", "-A INPUT -p tcp --dport 22 -j ACCEPT\r\n"),
       remove_operator_files, ""},
  };
}

class FailClosedTrafficTest : public testing::Test {
 protected:
  void SetUp() override {
    load_traffic_router(db_);
    configure_router(db_);
    remove_operator_files(db_);
    RunResult start = runner({"internet", "start", "1"});
    ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
    for (const TrafficHost& host : kIntruders) {
      rig_.add_host(host);
      iptables(
          {"-A", "INPUT", "-s", host.address, "-p", "udp", "--dport", "9", "-m", "comment", "--comment", host.name},
          "upstream");
    }
    rig_.add_host(kHostBob);
  }
  // The intruders' packets that reached the upstream host since the last call, by sender.
  std::vector<long> leaked() {
    std::vector<long> counts;
    for (const TrafficHost& host : kIntruders)
      counts.push_back(rule_packets("filter", "INPUT", "/* " + std::string(host.name) + " */", "upstream"));
    iptables({"-Z", "INPUT"}, "upstream");
    return counts;
  }

  TrafficRig rig_;
  TestDatabase db_;
};

TEST_F(FailClosedTrafficTest, NoPacketOfAnUnregisteredHostOrMacPassesWhileTheFirewallIsRebuilt) {
  ASSERT_EQ(rig_.pings_answered(kHostBob.name, 3), 3)
      << "the paid host bob must get through for the test to mean anything";
  for (const TrafficHost& host : kIntruders) ASSERT_EQ(rig_.pings_answered(host.name, 3), 0) << host.name;
  leaked();

  std::vector<std::unique_ptr<UdpStream>> streams;
  for (const TrafficHost& host : kIntruders) streams.push_back(std::make_unique<UdpStream>(host.name, 500, 300));
  PingStream paid(kHostBob.name, 10, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  struct Phase {
    std::string name;
    int builds;
    int failed_builds = 0;
    std::vector<long> leaks;
  };
  std::vector<Phase> phases;
  auto rebuild = [&](const std::string& name, int builds, const std::string& other_ports) {
    Phase phase{name, builds, 0, {}};
    for (int i = 0; i < builds; ++i) {
      std::vector<std::string> args{"internet", "start", "1"};
      if (!other_ports.empty()) args.push_back(other_ports);
      phase.failed_builds += runner(args).exit_status != 1;
    }
    phase.leaks = leaked();
    phases.push_back(phase);
  };
  rebuild("clean rebuilds", 100, "");
  for (const BuildInput& input : hostile_inputs()) {
    input.apply(db_);
    rebuild(input.name, 5, input.other_ports);
    input.revert(db_);
    // A good build after it: a build that stopped part-way must not have left the firewall open.
    rebuild(std::string("the clean build after ") + input.name, 1, "");
  }
  long sent = 0;
  for (auto& stream : streams) sent += stream->stop();
  paid.stop();

  long total = 0;
  for (const Phase& phase : phases) {
    std::printf(
        "[ figures  ] %s: %d builds (%d not successful); leaked packets: stranger %ld, paid address from "
        "another MAC %ld, paid MAC from another address %ld\n",
        phase.name.c_str(), phase.builds, phase.failed_builds, phase.leaks[0], phase.leaks[1], phase.leaks[2]);
    for (long leak : phase.leaks) {
      EXPECT_EQ(leak, 0) << "packets of an intruder got through during: " << phase.name;
      total += leak;
    }
  }
  std::printf(
      "[ figures  ] intruders sent %ld datagrams, %ld reached the upstream host; the paid host got %zu "
      "replies of %d\n",
      sent, total, paid.replies().size(), paid.sent());
  EXPECT_GT(sent, 1000);
  EXPECT_GT(paid.replies().size(), paid.sent() / 2) << "the paid host must keep getting through";
}

}  // namespace
}  // namespace zarn_test
