// A start reads the paid rows on a connection of its own and adds the marks
// and the operator's rules meanwhile. Without that connection it reads them
// on its one connection in the older order: both ways must leave the same
// kernel state and log the same lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/access_fixture.h"

namespace {

using namespace zarn_test;

const std::string kRunnerLog = "/zarn/logs/gw-runner.log";

// Everything a start leaves in the kernel, as the save programs print it.
std::string kernel_state() {
  std::string state;
  for (const char* table : {"filter", "mangle", "nat", "raw"}) state += saved_table(table);
  state += run({"/usr/sbin/ipset", "save"}).output;
  return state;
}

// The log's lines in sorted order, without the lines of a refused connection.
std::vector<std::string> log_lines() {
  std::istringstream text(read_file(kRunnerLog));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);)
    if (line.find("Connection failed") == std::string::npos && line.rfind("Error: ", 0) != 0) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class PaidAheadTest : public testing::Test {
 protected:
  void SetUp() override {
    load_router(db_);
    configure_router(db_);
    // A row of each kind the start skips or logs, beside the good ones.
    db_.exec(
        "INSERT INTO internet_clients (id, remote) VALUES (40, 1), (41, 1), (42, 1);"
        "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES"
        " (40, 40, 1, '10.1.1.40', '02:00:00:00:01:28', 0),"
        " (41, 41, 1, '10.1.7.41', '02:00:00:00:07:29', 1),"
        " (42, 42, 1, '10.1.2.42', '02:00:00:00:02:2a', 1)");
    write_file("/zarn/conf/router-ports", "53|all|all\n");
    write_file("/zarn/conf/router-iptables",
               "-A FORWARD -p tcp --dport 25 -j DROP\n"
               "-t mangle -A PREROUTING -s 10.1.1.0/24 -p udp --dport 53 -j MARK --set-mark 7\n");
    // A user that may hold one connection at a time: the start's second one is refused.
    one_ = "zarn_one_" + db_.name();
    db_.exec("CREATE USER '" + one_ + "'@'localhost' IDENTIFIED BY 'one' WITH MAX_USER_CONNECTIONS 1");
    db_.exec("GRANT ALL ON `" + db_.name() + "`.* TO '" + one_ + "'@'localhost'");
  }
  void TearDown() override { db_.exec("DROP USER IF EXISTS '" + one_ + "'@'localhost'"); }

  void use_single_connection_user() { write_file("/zarn/conf/zarn-router.conf", db_.config_lines_for(one_, "one")); }

  TestDatabase db_;
  std::string one_;
};

TEST_F(PaidAheadTest, WithOrWithoutASecondConnectionTheStartLeavesTheSameKernelAndLog) {
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  const std::string ahead_state = kernel_state();
  const std::vector<std::string> ahead_log = log_lines();
  EXPECT_EQ(read_file(kRunnerLog).find("Connection failed"), std::string::npos) << read_file(kRunnerLog);
  EXPECT_EQ(set_members("src_10_1_2_0_24"),
            (std::vector<std::string>{"10.1.2.42,02:00:00:00:02:2A", "10.1.2.50,02:00:00:00:02:32"}))
      << ahead_state;

  use_single_connection_user();
  std::filesystem::remove(kRunnerLog);
  ASSERT_EQ(runner({"internet", "start", "1"}).exit_status, 1) << read_file(kRunnerLog);
  EXPECT_NE(read_file(kRunnerLog).find("Connection failed"), std::string::npos) << read_file(kRunnerLog);
  EXPECT_EQ(kernel_state(), ahead_state);
  EXPECT_EQ(log_lines(), ahead_log);
  EXPECT_NE(std::find(ahead_log.begin(), ahead_log.end(), "zarn-ipset: get class not found 10.1.7.41"),
            ahead_log.end());
}

}  // namespace
