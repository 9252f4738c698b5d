// Faults around the access module on the real kernel: many runners at once
// (a start killed part-way is in access_build_test.cc).
#include <sys/wait.h>
#include <unistd.h>

#include <set>

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
    db_.exec(
        "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.1.1');"
        "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
        " (1, '10.1.1.0/24', INET_ATON('10.1.1.1'), INET_ATON('10.1.1.254'))");
    for (int cid = 1; cid <= kClients; ++cid) {
      // Odd clients are paid, even ones are not.
      db_.exec("INSERT INTO internet_clients (id, remote) VALUES (" + std::to_string(cid) +
               ", 1);"
               "INSERT INTO internet_settings (cid, rid, ip, mac, active) VALUES (" +
               std::to_string(cid) + ", 1, '" + ip_of(cid) + "', '" + mac_of_client(cid) + "', " +
               (cid % 2 ? "1" : "0") + ")");
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

}  // namespace
