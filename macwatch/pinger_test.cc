// The pinger on the real kernel and database: hostup follows the host's link;
// in debug mode it prints instead of writing; interrupts end it in order.
#include <signal.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "libzarn/sql.h"
#include "macwatch/pinger.h"
#include "macwatch/settings_rows.h"
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

// Answering and silent hosts, some whose state changed: a pass writes the
// changed rows only (a trigger records every row an update touches).
TEST_F(PingerTest, APassWritesOnlyTheRowsThatChanged) {
  lan_.add_host("h2", "10.1.2.51", "02:ab:cd:00:00:33");
  add_setting(db_, 1, 1, "10.1.2.50", "0", 1, 1);  // answers, was up
  add_setting(db_, 2, 1, "10.1.2.51", "0", 1, 0);  // answers, was down
  add_setting(db_, 3, 1, "10.1.2.97", "0", 1, 0);  // silent, was down
  add_setting(db_, 4, 1, "10.1.2.98", "0", 1, 1);  // silent, was up
  add_setting(db_, 5, 2, "10.1.2.50", "0", 1, 0);  // another router's client at h1's address
  // h2 again, written with a leading zero: refused, since programs read such a
  // part as octal or as decimal; the row is skipped and keeps its state.
  add_setting(db_, 6, 1, "10.1.2.051", "0", 0, 2);
  db_.exec("CREATE TABLE row_writes (n INT AUTO_INCREMENT PRIMARY KEY, id INT, before_up INT, after_up INT)");
  db_.exec(
      "CREATE TRIGGER record_writes AFTER UPDATE ON internet_settings FOR EACH ROW"
      " INSERT INTO row_writes (id, before_up, after_up) VALUES (NEW.id, OLD.hostup, NEW.hostup)");
  host_workers(db_);
  MYSQL* connection = sql_connect();
  ASSERT_NE(connection, nullptr);
  auto pass = [&] {
    std::optional<std::vector<SettingRow>> rows = select_settings(connection, kPingerQuery, 1);
    EXPECT_TRUE(rows && ping_pass(connection, *rows));
  };
  auto writes = [&] {
    std::string text;
    for (const auto& row : db_.query("SELECT id, before_up, after_up FROM row_writes ORDER BY n"))
      text += row[0] + ":" + row[1] + ">" + row[2] + " ";
    return text;
  };
  auto states = [&] {
    std::string text;
    for (int id = 1; id <= 6; ++id) text += hostup(id);
    return text;
  };

  pass();
  EXPECT_EQ(states(), "110002");
  EXPECT_EQ(writes(), "2:0>1 4:1>0 ") << "in address order, the changed rows only";
  pass();
  EXPECT_EQ(writes(), "2:0>1 4:1>0 ") << "nothing changed, nothing written";
  lan_.set_host_link("h2", false);
  pass();
  EXPECT_EQ(states(), "100002");
  EXPECT_EQ(writes(), "2:0>1 4:1>0 2:1>0 ");
  sql_close(connection);
  const std::string skipped = "ARP_PINGER: Skiping address '10.1.2.051' failed on preg_check\n";
  EXPECT_EQ(macwatch_log(), skipped + skipped + skipped) << "a pass logs only the rows it skips";
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

// A pass of 4,000 settings sends its requests for about two seconds: an
// interrupt in that time stops the sending, the requests out are finished.
TEST_F(PingerTest, OneInterruptStopsThePassAfterTheRequestsOut) {
  std::string nets, settings, clients;
  for (int net = 0; net < 16; ++net) {
    std::string prefix = "10.1." + std::to_string(10 + net) + ".";
    nets += std::string(net ? "," : "") + "(1,'" + prefix + "0/24',INET_ATON('" + prefix + "1'),INET_ATON('" + prefix +
            "254'),'lan0')";
    for (int host = 1; host <= 250; ++host) {
      int id = net * 250 + host;
      clients += std::string(id > 1 ? "," : "") + "(" + std::to_string(id) + ",1)";
      settings += std::string(id > 1 ? "," : "") + "(" + std::to_string(id) + "," + std::to_string(id) + ",1,'" +
                  prefix + std::to_string(host) + "','0',1,1)";
    }
  }
  db_.exec("INSERT INTO internal_net (rid, net, host_min, host_max, device) VALUES " + nets);
  db_.exec("INSERT INTO internet_clients (id, remote) VALUES " + clients);
  db_.exec("INSERT INTO internet_settings (id, cid, rid, ip, mac, active, hostup) VALUES " + settings);
  Rows order = db_.query("SELECT ip FROM internet_settings ORDER BY ip");

  ArpWatch watch(lan_, "h1");
  MacwatchProcess pinger({"-d"});
  ASSERT_TRUE(eventually([&] { return watch.lines().find(" ARP, ") != std::string::npos; }, 10)) << pinger.output();
  kill(pinger.pid(), SIGINT);
  EXPECT_EQ(pinger.wait(10), 0);

  std::string out = pinger.output();
  std::string lines = out.substr(out.find("Mysql conn ok\n") + 14);
  int printed = count(lines, "Debug Pinger:");
  EXPECT_GT(printed, 0) << "the requests out are finished";
  EXPECT_LT(printed, static_cast<int>(order.size())) << "the sending stopped";
  std::string expected;
  for (int i = 0; i < printed; ++i) expected += "Debug Pinger:IP[" + order[i][0] + "] \tINTF: [lan0] \tMAC [(null)]\n";
  EXPECT_EQ(lines, expected) << "the hosts asked before the interrupt, in order, each once";
  std::string log = macwatch_log();
  EXPECT_EQ(count(log, "MACWATCH(QUIT): Term signal recived.\n"), 1) << log;
  EXPECT_EQ(log.find("Pinger got exiting signal"), std::string::npos) << "no exit line in the middle of a pass\n"
                                                                      << log;
}

// An interrupt once every request of a pass is out ends the pinger after the
// pass, with its exit line.
TEST_F(PingerTest, AnInterruptAfterTheSendingEndsThePass) {
  host_and_two_silent();
  MacwatchProcess pinger({"-d"});
  // The first pass is printed; the second one's requests go out at once and
  // wait their window of 1.5 s.
  ASSERT_TRUE(eventually([&] { return pinger.output().find(kSecondSilentLine) != std::string::npos; }, 10))
      << pinger.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pinger.pid(), SIGINT);
  EXPECT_EQ(pinger.wait(5), 0);

  std::string out = pinger.output();
  EXPECT_EQ(count(out, kHostLine), 2) << out;
  EXPECT_EQ(count(out, kSecondSilentLine), 2) << "the second pass is finished, no third begins:\n" << out;
  std::string log = macwatch_log();
  EXPECT_NE(log.find("MACWATCH(QUIT): Term signal recived.\nMACWATCH: Pinger got exiting signal.\n"), std::string::npos)
      << log;
}

TEST_F(PingerTest, ASecondInterruptEndsThePingerAtOnce) {
  host_and_two_silent();
  MacwatchProcess pinger({"-d"});
  ASSERT_TRUE(eventually([&] { return pinger.output().find(kSecondSilentLine) != std::string::npos; }, 10))
      << pinger.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the second pass's window
  kill(pinger.pid(), SIGINT);
  ASSERT_TRUE(eventually([&] { return macwatch_log().find("Term signal recived") != std::string::npos; }, 2));
  kill(pinger.pid(), SIGINT);
  EXPECT_EQ(pinger.wait(5), 0);

  std::string out = pinger.output();
  EXPECT_EQ(count(out, kFirstSilentLine), 1) << "the windows in hand are not finished:\n" << out;
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
