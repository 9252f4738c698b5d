// Faults around the access module on the real kernel: many runners at once,
// and a firewall start killed half-way.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

constexpr int kClients = 20;

std::string ip_of(int cid) { return "10.1.1." + std::to_string(10 + cid); }
std::string mac_of_client(int cid) {
  char mac[32];
  std::snprintf(mac, sizeof mac, "02:00:00:00:01:%02X", cid);
  return mac;
}

class AccessFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    configure_router(db_);
    db_.exec("INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.1.1');"
             "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
             " (1, '10.1.1.0/24', INET_ATON('10.1.1.1'), INET_ATON('10.1.1.254'))");
    for (int cid = 1; cid <= kClients; ++cid) {
      // Odd clients are paid, even ones are not.
      db_.exec("INSERT INTO internet_clients (id, remote) VALUES (" + std::to_string(cid) + ", 1);"
               "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES (" + std::to_string(cid) + ", 1, '" +
               ip_of(cid) + "', '" + mac_of_client(cid) + "', " + (cid % 2 ? "1" : "0") + ")");
    }
  }
  std::set<std::string> forwarded() {
    std::set<std::string> ips;
    for (const std::string& m : set_members("src_10_1_1_0_24")) ips.insert(m.substr(0, m.find(',')));
    return ips;
  }
  std::set<std::string> marked() {
    std::set<std::string> ips;
    std::string mangle = saved_table("mangle");
    for (size_t at = 0; (at = mangle.find("-A unpaied_10_1_1 -s ", at)) != std::string::npos; ++at) {
      size_t start = at + 21;
      ips.insert(mangle.substr(start, mangle.find('/', start) - start));
    }
    return ips;
  }
  TestDatabase db_;
};

TEST_F(AccessFaultTest, TwentyRunnersAtOnceLoseNoChange) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
  // Every client changes sides at the same moment: the paid are closed, the
  // unpaid opened, each by a runner of its own.
  std::vector<pid_t> children;
  for (int cid = 1; cid <= kClients; ++cid) {
    pid_t pid = fork();
    if (pid == 0) {
      RunResult r = runner({"internet", cid % 2 ? "client_stop" : "client_start", std::to_string(cid)});
      _exit(r.exit_status == 1 ? 0 : 1);
    }
    children.push_back(pid);
  }
  int failed = 0;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(failed, 0) << read_file("/zarn/logs/gw-runner.log");
  std::set<std::string> should_forward, should_mark;
  for (int cid = 1; cid <= kClients; ++cid) (cid % 2 ? should_mark : should_forward).insert(ip_of(cid));
  EXPECT_EQ(forwarded(), should_forward);
  EXPECT_EQ(marked(), should_mark) << saved_table("mangle");
}

TEST_F(AccessFaultTest, AStartKilledHalfWayIsMadeWholeByTheNextStart) {
  // More networks make a longer start (two table commits each): a wider window.
  for (int n = 2; n < 60; ++n)
    db_.exec("INSERT INTO internal_net (rid, net, host_min, host_max) VALUES (1, '10.1." + std::to_string(n) +
             ".0/24', INET_ATON('10.1." + std::to_string(n) + ".1'), INET_ATON('10.1." + std::to_string(n) + ".254'))");
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
  std::string filter = saved_table("filter"), mangle = saved_table("mangle");
  std::vector<std::string> members = set_members("src_10_1_1_0_24");
  // Kill starts at growing moments until one is caught half-way.
  bool caught = false;
  for (int delay_ms = 1; delay_ms < 200 && !caught; delay_ms += 3) {
    // The runner itself is this child (other tests' runners are left alone).
    pid_t pid = fork();
    if (pid == 0) {
      const passwd* zarn = getpwnam("zarn");
      if (!zarn || setgroups(0, nullptr) || setgid(zarn->pw_gid) || setuid(zarn->pw_uid)) _exit(126);
      execl("/zarn/bin/gw-runner", "/zarn/bin/gw-runner", "internet", "start", "1", static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    caught = saved_table("filter") != filter || saved_table("mangle") != mangle ||
             set_members("src_10_1_1_0_24") != members;
    if (!caught) {
      ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1);
    }
  }
  EXPECT_TRUE(caught) << "no start was caught half-way";
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  EXPECT_EQ(saved_table("filter"), filter);
  EXPECT_EQ(saved_table("mangle"), mangle);
  EXPECT_EQ(set_members("src_10_1_1_0_24"), members);
}

}  // namespace
