// The router control daemon against hostile peers: connection floods from
// another address and from the master's, binary garbage and endless lines,
// and a master that floods commands on one session and on many. The daemon
// must stay up and serve the master, and its processes and memory must stay
// bounded.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tests/hostile_peer.h"
#include "tests/process_census.h"
#include "tests/router_harness.h"

namespace {

using namespace zarn_test;

const std::string kAccepted = "\f222 Authentication accepted.\r\n";

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The largest census seen by a sampler thread while it runs.
class PeakCensus {
 public:
  explicit PeakCensus(pid_t group)
      : thread_([this, group] {
          while (!stop_) {
            Census c = census(group);
            if (c.processes > peak_.processes) peak_.processes = c.processes;
            if (c.pss_kb > peak_.pss_kb) peak_.pss_kb = c.pss_kb;
            if (c.rss_kb > peak_.rss_kb) peak_.rss_kb = c.rss_kb;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~PeakCensus() { stop(); }
  Census stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  Census peak_;
  std::thread thread_;
};

class RouterHostileTest : public testing::Test {
 protected:
  void start(const std::string& config = "") {
    raise_descriptor_limit();
    scene_.write_config(config);
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->wait_ready()) << daemon_->output() << scene_.log();
    scene_.clear_calls();
    before_ = census(daemon_->pid());
  }
  // A fresh session of the master is greeted, logs in and is answered.
  void expect_master_served(const std::string& when) {
    SCOPED_TRACE(when);
    Peer master;
    ASSERT_EQ(master.login(), kAccepted);
    EXPECT_EQ(master.exchange("identify", "Version: 1.2.0\r\n").rfind("Name: test-router\r\nID: 4\r\n", 0), 0u);
    EXPECT_EQ(master.exchange("quit", "222 Good Bye.\r\n"), "222 Good Bye.\r\n");
  }
  bool back_to_before(int seconds) {
    return eventually([&] { return census(daemon_->pid()).processes <= before_.processes; }, seconds);
  }
  long pss_allowance_kb(int extra_processes) const { return zarn_test::pss_allowance_kb(before_, extra_processes); }

  RouterScene scene_;
  std::unique_ptr<Daemon> daemon_;
  Census before_;
};

TEST_F(RouterHostileTest, AThousandConnectionsFromAnotherAddressEachEndAtOnce) {
  start();
  PeakCensus peak(daemon_->pid());
  ConnectionFlood flood(kOtherAddress, kRouterPort, 1000);
  ASSERT_EQ(flood.connected(), 1000) << flood.failure();
  EXPECT_TRUE(eventually([&] { return flood.closed_by_peer() == 1000; }, 40))
      << flood.closed_by_peer() << " of 1000 closed";
  EXPECT_EQ(flood.greeted(), 0) << "a peer other than the master got a greeting";
  expect_master_served("after the flood");
  Census during = peak.stop();
  EXPECT_TRUE(back_to_before(20)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  size_t log_size = scene_.log().size();
  std::cout << "[ measured ] before " << describe(before_)
            << "; peak during 1000 connections from another address: " << describe(during) << "; after "
            << describe(after) << "; log " << log_size << " bytes\n";
  EXPECT_EQ(occurrences(scene_.log(), "[127.0.0.2]["), 1000);
  // Each refused connection costs one short-lived process and one log line.
  EXPECT_LT(log_size, 1000u * 200) << "bytes of log for 1000 refused connections";
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
}

TEST_F(RouterHostileTest, ConnectionsFromTheMasterWaitOutTheirTimeOut) {
  start("client_timeout 5\n");
  constexpr int kConnections = 200;
  ConnectionFlood flood(kMasterAddress, kRouterPort, kConnections);
  ASSERT_EQ(flood.connected(), kConnections);
  EXPECT_TRUE(eventually([&] { return flood.greeted() == kConnections; }, 30)) << flood.greeted() << " greeted";
  Census during = census(daemon_->pid());
  EXPECT_GE(during.processes, before_.processes + kConnections) << describe(during);
  EXPECT_LE(during.processes, before_.processes + kConnections + process_slack()) << describe(during);
  EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(kConnections))
      << describe(before_) << " / " << describe(during);
  expect_master_served("with 200 idle connections of the master");
  // Every one is closed after the login's read time-out.
  EXPECT_TRUE(eventually([&] { return flood.closed_by_peer() == kConnections; }, 20))
      << flood.closed_by_peer() << " closed";
  EXPECT_TRUE(back_to_before(10)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  std::cout << "[ measured ] before " << describe(before_) << "; " << kConnections
            << " idle connections of the master: " << describe(during) << "; after " << describe(after) << "\n";
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
}

TEST_F(RouterHostileTest, GarbageAndEndlessLinesEndOnlyTheirOwnConnection) {
  start();
  {
    Peer master;
    EXPECT_EQ(master.read_until("\r\n"), "220 Zarn Router Server\r\n");
    master.send(std::string("\0\xff\xfe\r\n", 5));
    EXPECT_EQ(master.read_until("\r\n"), "221 More Authentication Required\r\n");
    master.send(std::string("\0demo\rabcde\r\n", 13));
    EXPECT_EQ(master.read_until("\r\n"), "224 Authentication Rejected.\r\n");
    // Logged in, garbage commands are unknown, a NUL-led line is empty.
    master.send("demo\r\n");
    master.read_until("\r\n");
    master.send("abcde\r\n");
    EXPECT_EQ(master.read_until("\r\n"), kAccepted);
    EXPECT_EQ(master.exchange("\xff\xfe garbage", "Unkown command\r\n"), "Unkown command\r\n");
    master.send(std::string("\0identify\r\n", 11));
    EXPECT_EQ(master.exchange("clear", "\f"), "\f") << "a line that starts with a NUL has no reply";
  }
  struct Case {
    const char* name;
    const char* from;
    std::string pattern;
  };
  const Case cases[] = {
      {"the master, one endless line", kMasterAddress, "A"},
      {"the master, NULs without end", kMasterAddress, std::string(1, '\0')},
      {"the master, carriage returns without end", kMasterAddress, "\r"},
      {"another address, one endless line", kOtherAddress, "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The connection before this one may still be ending; its process is not this one's.
    ASSERT_TRUE(back_to_before(10)) << describe(census(daemon_->pid()));
    Census during;
    StreamOutcome outcome =
        stream_until_closed(c.from, kRouterPort, c.pattern, 25, [&] { during = census(daemon_->pid()); });
    EXPECT_TRUE(outcome.closed_by_peer) << "still reading after " << outcome.bytes_sent << " bytes";
    EXPECT_LT(outcome.bytes_sent, 16LL << 20) << "bytes the router took before it closed";
    EXPECT_LE(during.processes, before_.processes + 1 + process_slack()) << describe(during);
    EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(1)) << describe(before_) << " / " << describe(during);
    std::cout << "[ measured ] " << c.name << ": " << outcome.bytes_sent << " bytes sent before the close; during "
              << describe(during) << "\n";
  }
  EXPECT_TRUE(back_to_before(10)) << describe(census(daemon_->pid()));
  expect_master_served("after the garbage");
}

TEST_F(RouterHostileTest, AMasterFloodingCommandsIsAnsweredInOrderWithinBoundedMemory) {
  start();
  Peer master(kMasterAddress, 30);
  ASSERT_EQ(master.login(), kAccepted);
  Census session = census(daemon_->pid());
  // Thousands of commands sent at once, read back beside the writing.
  constexpr int kCommands = 5000;
  std::string batch;
  for (int i = 0; i < kCommands; ++i) batch += i % 2 ? "identify\r\n" : "bogus\r\n";
  batch += "quit\r\n";
  PeakCensus peak(daemon_->pid());
  std::thread writer([&] { master.send(batch); });
  std::string replies = master.read_until("222 Good Bye.\r\n");
  writer.join();
  Census during = peak.stop();
  EXPECT_EQ(occurrences(replies, "Version: 1.2.0\r\n"), kCommands / 2);
  EXPECT_EQ(occurrences(replies, "Unkown command\r\n"), kCommands / 2);
  EXPECT_EQ(replies.substr(replies.size() - 15), "222 Good Bye.\r\n");
  EXPECT_LE(during.processes, session.processes + process_slack()) << "one session runs one command at a time";
  EXPECT_LE(during.pss_kb, session.pss_kb + pss_allowance_kb(0)) << describe(session) << " / " << describe(during);
  std::cout << "[ measured ] one session, " << kCommands << " commands: session " << describe(session) << "; peak "
            << describe(during) << "\n";

  // Runner commands, one at a time: one runner process at most.
  Peer runs(kMasterAddress, 60);
  ASSERT_EQ(runs.login(), kAccepted);
  constexpr int kRuns = 200;
  std::string run_batch;
  for (int i = 0; i < kRuns; ++i) run_batch += "client activate 17\r\n";
  run_batch += "quit\r\n";
  Census with_session = census(daemon_->pid());
  PeakCensus run_peak(daemon_->pid());
  std::thread run_writer([&] { runs.send(run_batch); });
  std::string run_replies = runs.read_until("222 Good Bye.\r\n");
  run_writer.join();
  Census run_during = run_peak.stop();
  EXPECT_EQ(occurrences(run_replies, "222 Success.\r\n"), kRuns) << run_replies.substr(0, 500);
  EXPECT_EQ(occurrences(scene_.calls(), "op_client 17 1"), kRuns);
  EXPECT_LE(run_during.processes, with_session.processes + 1 + process_slack()) << describe(run_during);
  std::cout << "[ measured ] one session, " << kRuns << " runner commands: peak " << describe(run_during) << "\n";
  EXPECT_TRUE(back_to_before(10)) << describe(census(daemon_->pid()));
}

TEST_F(RouterHostileTest, ManySessionsOfTheMasterAtOnce) {
  start();
  constexpr int kSessions = 50;
  constexpr int kEach = 100;
  std::atomic<int> complete{0};
  PeakCensus peak(daemon_->pid());
  std::vector<std::thread> sessions;
  for (int s = 0; s < kSessions; ++s)
    sessions.emplace_back([&] {
      Peer master(kMasterAddress, 30);
      if (master.login() != kAccepted) return;
      std::string batch;
      for (int i = 0; i < kEach; ++i) batch += "help\r\n";
      master.send(batch + "quit\r\n");
      std::string replies = master.read_until("222 Good Bye.\r\n");
      if (occurrences(replies, "Available Commands:") == kEach) ++complete;
    });
  for (auto& t : sessions) t.join();
  Census during = peak.stop();
  EXPECT_EQ(complete, kSessions) << "sessions answered in full";
  EXPECT_LE(during.processes, before_.processes + kSessions + process_slack()) << describe(during);
  EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(kSessions))
      << describe(before_) << " / " << describe(during);
  EXPECT_TRUE(back_to_before(10)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  std::cout << "[ measured ] " << kSessions << " sessions x " << kEach << " commands: before " << describe(before_)
            << "; peak " << describe(during) << "; after " << describe(after) << "\n";
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
  expect_master_served("after the sessions");
}

}  // namespace
