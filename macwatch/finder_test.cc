// The finder and the reader on the real kernel, the real database and the
// real runner: missing MAC addresses are learned and active settings opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "macwatch/test_support.h"
#include "macwatch/workers.h"
#include "tests/access_fixture.h"
#include "tests/subscriber_lan.h"

namespace {

using namespace zarn_test;

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += upper(item) + " ";
  return out;
}

// Router 1 on lan0 with hosts h1 to h3 (10.1.2.50 to .52); the kernel's table
// knows 10.1.2.50 by a MAC of its own.
class FinderTest : public testing::Test {
 protected:
  void SetUp() override {
    load_lan_router(db_);
    configure_macwatch(db_);
    host_workers(db_);
    lan_.add_host("h1", "10.1.2.50", "02:ab:cd:00:00:32");
    lan_.add_host("h2", "10.1.2.51", "02:ab:cd:00:00:33");
    lan_.add_host("h3", "10.1.2.52", "02:ab:cd:00:00:34");
    // What the finder writes for 10.1.2.50 shows which way it took.
    ip({"neigh", "replace", "10.1.2.50", "lladdr", "02:00:00:00:aa:50", "dev", "lan0", "nud", "permanent"});
  }
  std::string mac(int id) { return setting_value(db_, id, "mac"); }

  TestDatabase db_;
  SubscriberLan lan_;
};

TEST_F(FinderTest, MissingAddressesAreLearnedAndActiveSettingsOpened) {
  add_setting(db_, 1, 1, "10.1.2.50", "0", 1);
  add_setting(db_, 2, 1, "10.1.2.51", "", 123);
  add_setting(db_, 3, 1, "10.1.2.52", "FF:FF:FF:FF:FF:FF", 0);
  add_setting(db_, 4, 2, "10.1.2.50", "0", 1);                  // another router's client at the same address
  add_setting(db_, 5, 1, "10.1.2.50", "02:00:00:00:55:55", 0);  // a known address sharing the IP
  add_setting(db_, 6, 1, "10.1.2.60", "0", 1);                  // nobody answers there
  RunResult start = runner({"internet", "start", "1"});
  ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");

  pid_t finder = macwatch();
  ASSERT_GT(finder, 0);
  bool learned = eventually([&] { return mac(1) != "0" && mac(2) != "" && mac(3) != "FF:FF:FF:FF:FF:FF"; }, 15);
  bool opened = eventually([&] { return set_members("src_10_1_2_0_24").size() >= 2; }, 10);
  EXPECT_EQ(interrupt_and_wait(finder, 5), 0) << "one interrupt ends the finder within one host's work";
  ASSERT_TRUE(learned) << "saw " << mac(1) << " / " << mac(2) << " / " << mac(3) << "\n" << macwatch_log();
  EXPECT_TRUE(opened);

  EXPECT_EQ(mac(1), "02:00:00:00:aa:50") << "from the kernel's table, as it shows it, without a probe";
  EXPECT_EQ(mac(2), "02:AB:CD:00:00:33") << "from a probe";
  EXPECT_EQ(mac(3), "02:AB:CD:00:00:34") << "from a probe";
  EXPECT_EQ(mac(4), "0") << "another router's setting keeps its value";
  EXPECT_EQ(mac(5), "02:00:00:00:55:55") << "a setting whose address is known keeps it";
  EXPECT_EQ(mac(6), "0") << "nobody answered";

  EXPECT_EQ(joined(set_members("src_10_1_2_0_24")), "10.1.2.50,02:00:00:00:AA:50 10.1.2.51,02:AB:CD:00:00:33 ")
      << "active 1 and 123 are opened, active 0 is not";
  std::string log = macwatch_log();
  EXPECT_NE(log.find("Success: 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Success: 2\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(": 3\n"), std::string::npos) << "the runner is not called for a closed setting\n" << log;
  EXPECT_NE(log.find("MACWATCH(QUIT): Term signal recived.\nMACWATCH: Finder got exiting signal.\n"), std::string::npos)
      << log;
}

TEST_F(FinderTest, ARunnerFailureIsLoggedAndTheAddressKept) {
  // Without the firewall there is no set to open the setting in.
  add_setting(db_, 2, 1, "10.1.2.51", "0", 1);
  pid_t finder = macwatch();
  bool learned = eventually([&] { return macwatch_log().find("when adding client: 2\n") != std::string::npos; }, 15);
  EXPECT_EQ(interrupt_and_wait(finder, 5), 0);
  ASSERT_TRUE(learned) << macwatch_log();
  EXPECT_EQ(mac(2), "02:AB:CD:00:00:33");
  EXPECT_NE(macwatch_log().find("Wrapper returned 2 when adding client: 2\n"), std::string::npos) << macwatch_log();
}

TEST_F(FinderTest, TheReaderOnlyReadsTheTable) {
  add_setting(db_, 1, 1, "10.1.2.50", "0", 0);
  add_setting(db_, 2, 1, "10.1.2.51", "0", 0);
  ArpWatch watch(lan_, "h2");
  pid_t reader = arp_reader();
  ASSERT_GT(reader, 0);
  bool learned = eventually([&] { return mac(1) != "0"; }, 10);
  // Rows come in address order: give the reader its pause and the next row.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(interrupt_and_wait(reader, 3), 0) << "the signal cuts the reader's wait short";
  ASSERT_TRUE(learned) << macwatch_log();
  EXPECT_EQ(mac(1), "02:00:00:00:aa:50");
  EXPECT_EQ(mac(2), "0") << "a host missing from the table stays unknown";
  EXPECT_EQ(watch.count(), 0) << "the reader never probes:\n" << watch.lines();
  EXPECT_NE(macwatch_log().find("ARP_READER: Finder got exiting signal.\n"), std::string::npos) << macwatch_log();
}

TEST_F(FinderTest, AFailedQueryIsLoggedAndRetried) {
  add_setting(db_, 2, 1, "10.1.2.51", "0", 0);
  db_.exec("RENAME TABLE internet_settings TO settings_away");
  pid_t finder = macwatch();
  bool logged = eventually([&] { return macwatch_log().find("Mysql conn lost sleeping\n") != std::string::npos; }, 5);
  db_.exec("RENAME TABLE settings_away TO internet_settings");
  bool learned = eventually([&] { return mac(2) != "0"; }, 15);
  EXPECT_EQ(interrupt_and_wait(finder, 5), 0);
  EXPECT_TRUE(logged) << macwatch_log();
  EXPECT_TRUE(learned) << "the query is tried again ten seconds later\n" << macwatch_log();
}

// An address the database places in a network but that fails the address
// check (first part above 254) is logged by each worker and left alone.
TEST_F(FinderTest, AddressesFailingTheCheckAreSkipped) {
  db_.exec(
      "INSERT INTO internal_net (rid, net, host_min, host_max, device) VALUES"
      " (1, '255.1.2.0/24', INET_ATON('255.1.2.1'), INET_ATON('255.1.2.254'), 'lan0')");
  add_setting(db_, 1, 1, "255.1.2.50", "0", 1, 1);
  pid_t workers[] = {macwatch(), arp_reader(), arp_pinger()};
  const char* lines[] = {"MACWATCH: Skiping address '255.1.2.50' failed on preg_check\n",
                         "ARP_READER: Skiping address '255.1.2.50' failed on preg_check\n",
                         "ARP_PINGER: Skiping address '255.1.2.50' failed on preg_check\n"};
  for (const char* line : lines)
    EXPECT_TRUE(eventually([&] { return macwatch_log().find(line) != std::string::npos; }, 5)) << line;
  for (pid_t pid : workers) EXPECT_EQ(interrupt_and_wait(pid, 5), 0);
  EXPECT_EQ(mac(1), "0");
  EXPECT_EQ(setting_value(db_, 1, "hostup"), "1") << "the pinger writes nothing for it";
}

}  // namespace
