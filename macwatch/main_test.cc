// The installed program's launcher: its refusals, the three workers it starts
// with their status lines and titles, and the mode it gives its log file.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "macwatch/state.h"
#include "macwatch/test_support.h"

namespace {

using namespace zarn_test;

const std::string kCannotStart = "MACWATCH: Cannot read config or cannot connect to mysql.\nAborting launch.\n";
const std::string kCannotStartLog = "MACWATCH: Cannot read config or cannot connect to mysql.Aborting launch.\n";
const std::string kMissing = "MACWATCH: Missing variables from config.Aborting launch.\n";
const std::string kNoRouter = "MACWATCH: Could not aquire router name.\n";

// Router 1 in the database and its configuration in place.
class LauncherTest : public testing::Test {
 protected:
  void SetUp() override {
    load_lan_router(db_);
    configure_macwatch(db_);
  }
  // Runs the launcher to its end: its exit status and what it printed.
  std::pair<int, std::string> launch(const std::vector<std::string>& args) {
    MacwatchProcess launcher(args);
    int status = launcher.wait(10);
    return {status, launcher.output()};
  }
  // Expects the launch to stop with `printed` on standard output and `logged` last in the log.
  void expect_refusal(const std::string& printed, const std::string& logged, const std::string& why) {
    std::filesystem::remove(kMacwatchLog);
    auto [status, out] = launch({});
    EXPECT_EQ(status, 0) << why;
    EXPECT_EQ(out, printed) << why;
    std::string log = macwatch_log();
    EXPECT_TRUE(log.size() >= logged.size() && log.compare(log.size() - logged.size(), logged.size(), logged) == 0)
        << why << ": expected the log to end with\n"
        << logged << "saw\n"
        << log;
  }
  TestDatabase db_;
};

TEST_F(LauncherTest, VersionNeedsNoConfiguration) {
  std::filesystem::remove(kMacwatchConf);
  auto [status, out] = launch({"-v"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Version: 2.0.1\n");
}

TEST_F(LauncherTest, StartUpRefusals) {
  std::filesystem::remove(kMacwatchConf);
  expect_refusal(kCannotStart, kCannotStartLog, "no configuration file");

  write_file(kMacwatchConf, "mysql_host localhost\nmysql_user nobody\nmysql_sock /nonexistent\n" + kRouterKeys);
  expect_refusal(kCannotStart, kCannotStartLog, "no database");

  const char* keys[] = {"listenaddr", "path_iptables", "path_modprobe", "internal_eth"};
  for (const char* key : keys) {
    std::string without = std::regex_replace(kRouterKeys, std::regex(std::string(key) + " [^\n]*\n"), "");
    ASSERT_NE(without, kRouterKeys);
    configure_macwatch(db_, without);
    expect_refusal(kMissing, kMissing, std::string("without ") + key);
  }

  configure_macwatch(db_, std::regex_replace(kRouterKeys, std::regex("10.1.2.1"), "10.1.2.77"));
  expect_refusal(kNoRouter, kNoRouter, "an address of no router");
  configure_macwatch(db_, std::regex_replace(kRouterKeys, std::regex("10.1.2.1"), "x' or ip <> 'x"));
  expect_refusal(kNoRouter, kNoRouter, "a quote in the address finds no router");

  db_.exec(
      "SET SESSION sql_mode = 'NO_AUTO_VALUE_ON_ZERO'; INSERT INTO internet_routers (id, rname, ip) VALUES (0, 'r0', "
      "'10.1.2.9')");
  configure_macwatch(db_, std::regex_replace(kRouterKeys, std::regex("10.1.2.1"), "10.1.2.9"));
  expect_refusal("MACWATCH: Router ID cannot be 0.\n", "MACWATCH: Router ID cannot be 0.\n", "router id 0");
}

TEST_F(LauncherTest, ThreeWorkersStartAndEachEndsOnOneInterrupt) {
  // The workers outlive the launcher; as their subreaper this test collects them.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto [status, out] = launch({});
  EXPECT_EQ(status, 1);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m,
                               std::regex("MACWATCH STARTED PID: ([0-9]+)\t\\[\x1b\\[;32m OK \x1b\\[00m\\]\n"
                                          "ARP_READER STARTED PID: ([0-9]+)\t\\[\x1b\\[;32m OK \x1b\\[00m\\]\n"
                                          "ARP_PINGER STARTED PID: ([0-9]+)\t\\[\x1b\\[;32m OK \x1b\\[00m\\]\n")))
      << out;
  const char* titles[] = {"zarn-macwatch: running...", "zarn-arp_reader: running...", "zarn-arp_ping: running..."};
  std::vector<pid_t> workers;
  for (int i = 0; i < 3; ++i) {
    pid_t pid = std::stoi(m[i + 1]);
    workers.push_back(pid);
    // The title is set once the worker's handlers are in place.
    auto title = [pid] {
      std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
      return cmdline.substr(0, cmdline.find('\0'));
    };
    EXPECT_TRUE(eventually([&] { return title() == titles[i]; }, 5))
        << "expected the title " << titles[i] << ", saw " << title();
  }
  // No settings: every worker is in its ten-second wait, which the signal cuts short.
  for (pid_t pid : workers) EXPECT_EQ(interrupt_and_wait(pid, 5), 0) << "worker " << pid;
  std::string log = macwatch_log();
  EXPECT_NE(log.find("MACWATCH: Finder got exiting signal.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ARP_READER: Finder got exiting signal.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MACWATCH: Pinger got exiting signal.\n"), std::string::npos) << log;
}

TEST_F(LauncherTest, TheLogIsOpenedToEverybodyButALinkIsNotFollowed) {
  write_file(kMacwatchLog, "");
  chmod(kMacwatchLog, 0600);
  launch({"-v"});
  struct stat st;
  ASSERT_EQ(stat(kMacwatchLog, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);

  const std::string secret = "/zarn/conf/secret";
  write_file(secret, "x");
  chmod(secret.c_str(), 0600);
  std::filesystem::remove(kMacwatchLog);
  std::filesystem::create_symlink(secret, kMacwatchLog);
  launch({"-v"});
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "the link's target keeps its mode";
}

}  // namespace
