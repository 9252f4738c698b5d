// The pinger on the real kernel and database: hostup follows the host's link;
// in debug mode it prints instead of writing; interrupts end it in order.
#include <signal.h>

#include <gtest/gtest.h>

#include "macwatch/test_support.h"
#include "macwatch/workers.h"
#include "tests/subscriber_lan.h"

namespace {

using namespace zarn_test;

const std::string kHostLine = "Debug Pinger:IP[10.1.2.50] \tINTF: [lan0] \tMAC [02:AB:CD:00:00:32]\n";
const std::string kFirstSilentLine = "Debug Pinger:IP[10.1.2.97] \tINTF: [lan0] \tMAC [(null)]\n";
const std::string kSecondSilentLine = "Debug Pinger:IP[10.1.2.98] \tINTF: [lan0] \tMAC [(null)]\n";

// Router 1 on lan0 with the host h1 (10.1.2.50).
class PingerTest : public testing::Test {
 protected:
  void SetUp() override {
    load_lan_router(db_);
    configure_macwatch(db_);
    lan_.add_host("h1", "10.1.2.50", "02:ab:cd:00:00:32");
  }
  std::string hostup(int id) { return setting_value(db_, id, "hostup"); }
  // Settings in address order: the host, then two addresses where nobody answers.
  void host_and_two_silent() {
    add_setting(db_, 1, 1, "10.1.2.50", "0", 1, 0);
    add_setting(db_, 2, 1, "10.1.2.97", "0", 1, 1);
    add_setting(db_, 3, 1, "10.1.2.98", "0", 1, 1);
  }
  int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  TestDatabase db_;
  SubscriberLan lan_;
};

TEST_F(PingerTest, HostupFollowsTheHostsLink) {
  add_setting(db_, 1, 1, "10.1.2.50", "0", 1, 0);
  add_setting(db_, 2, 2, "10.1.2.50", "0", 1, 0);  // another router's client at the same address
  add_setting(db_, 3, 1, "10.1.2.52", "0", 1, 1);  // nobody answers there
  host_workers(db_);
  pid_t pinger = arp_pinger();
  ASSERT_GT(pinger, 0);

  EXPECT_TRUE(eventually([&] { return hostup(1) == "1" && hostup(3) == "0"; }, 10))
      << "expected 1 and 0, saw " << hostup(1) << " and " << hostup(3);
  lan_.set_host_link("h1", false);
  EXPECT_TRUE(eventually([&] { return hostup(1) == "0"; }, 10)) << "the link went down, hostup stayed " << hostup(1);
  lan_.set_host_link("h1", true);
  EXPECT_TRUE(eventually([&] { return hostup(1) == "1"; }, 10)) << "the link came back, hostup stayed " << hostup(1);

  EXPECT_EQ(interrupt_and_wait(pinger, 5), 0);
  EXPECT_EQ(hostup(2), "0") << "another router's setting is not written";
  EXPECT_EQ(setting_value(db_, 1, "mac"), "0") << "the pinger learns no address";
}

TEST_F(PingerTest, DebugModePrintsOneLinePerHostAndWritesNothing) {
  host_and_two_silent();
  MacwatchProcess pinger({"-d"});
  EXPECT_TRUE(eventually([&] { return pinger.output().find(kSecondSilentLine) != std::string::npos; }, 15))
      << pinger.output();
  kill(pinger.pid(), SIGINT);
  EXPECT_EQ(pinger.wait(5), 0);

  std::string out = pinger.output();
  EXPECT_EQ(out.rfind("Conf read ok\nMysql conn ok\n" + kHostLine + kFirstSilentLine + kSecondSilentLine, 0), 0u)
      << out;
  EXPECT_EQ(out.find("STARTED"), std::string::npos) << "no status line in debug mode";
  EXPECT_EQ(hostup(1), "0");
  EXPECT_EQ(hostup(2), "1");
  EXPECT_EQ(hostup(3), "1");
  EXPECT_EQ(setting_value(db_, 1, "mac"), "0") << "no finder runs in debug mode";
}

TEST_F(PingerTest, OneInterruptEndsThePingerAfterTheHostInHand) {
  host_and_two_silent();
  MacwatchProcess pinger({"-d"});
  ASSERT_TRUE(eventually([&] { return pinger.output().find(kHostLine) != std::string::npos; }, 10)) << pinger.output();
  kill(pinger.pid(), SIGINT);  // while 10.1.2.97 is being probed
  EXPECT_EQ(pinger.wait(5), 0);

  std::string out = pinger.output();
  EXPECT_NE(out.find(kFirstSilentLine), std::string::npos) << "the host in hand is finished:\n" << out;
  EXPECT_EQ(out.find(kSecondSilentLine), std::string::npos) << "no further host is probed:\n" << out;
  std::string log = macwatch_log();
  EXPECT_EQ(count(log, "MACWATCH(QUIT): Term signal recived.\n"), 1) << log;
  EXPECT_EQ(log.find("Pinger got exiting signal"), std::string::npos) << "no exit line in the middle of a pass\n" << log;
}

TEST_F(PingerTest, ASecondInterruptEndsThePingerAtOnce) {
  host_and_two_silent();
  MacwatchProcess pinger({"-d"});
  ASSERT_TRUE(eventually([&] { return pinger.output().find(kHostLine) != std::string::npos; }, 10)) << pinger.output();
  kill(pinger.pid(), SIGINT);
  ASSERT_TRUE(eventually([&] { return macwatch_log().find("Term signal recived") != std::string::npos; }, 2));
  kill(pinger.pid(), SIGINT);
  EXPECT_EQ(pinger.wait(5), 0);

  std::string out = pinger.output();
  EXPECT_EQ(out.find(kFirstSilentLine), std::string::npos) << "the probe in hand is not finished:\n" << out;
  EXPECT_EQ(count(macwatch_log(), "MACWATCH(QUIT): Term signal recived.\n"), 2) << macwatch_log();
}

TEST_F(PingerTest, ACrashIsLoggedWithTheWorkerNumber) {
  host_workers(db_);
  pid_t pinger = arp_pinger();
  pid_t finder = macwatch();
  ASSERT_TRUE(eventually([&] { return db_.other_connection_ids().size() >= 2; }, 5)) << "both workers connected";
  kill(pinger, SIGSEGV);
  kill(finder, SIGSEGV);
  EXPECT_EQ(wait_for_child(pinger, 5), 0);
  EXPECT_EQ(wait_for_child(finder, 5), 0);
  std::string log = macwatch_log();
  EXPECT_NE(log.find("MACWATCH(QUIT) CHID[1]: Segmentation fault.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MACWATCH(QUIT) CHID[2]: Segmentation fault.\n"), std::string::npos) << log;
}

}  // namespace
