// The login service against hostile subscribers: binary garbage, endless
// lines, silent and trickling peers, a thousand connections from one
// address. The service must stay up, a logged-in subscriber must keep her
// session, and the processes and memory must stay bounded.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/auth_harness.h"
#include "tests/hostile_peer.h"
#include "tests/process_census.h"
#include "zarn-auth/credentials.h"

namespace {

using namespace zarn_test;

constexpr const char* kBob = "127.0.0.22";
constexpr const char* kHostile = "127.0.0.30";
constexpr const char* kHostile2 = "127.0.0.31";

// Occurrences of `text` in `log`.
int occurrences(const std::string& log, const std::string& text) {
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

// Alice logged in, her client program answering every probe in a thread of
// its own.
class KeptLogin {
 public:
  KeptLogin() : alice_(kAlice, 30) {
    accepted_ = alice_.login("alice", "abcdefgh") == "222 Authentication accepted.\r\n";
    session_ = session_of(alice_.line());
    thread_ = std::thread([this] {
      while (!stop_) {
        std::string line = alice_.line();
        if (line.empty()) return;  // the service closed, or stopped answering for 30 s
        if (line == "228 SessionID\r\n") {
          alice_.send(session_);
          ++answered_;
        }
      }
    });
  }
  ~KeptLogin() {
    stop_ = true;
    alice_.peer().hang_up();
    thread_.join();
  }
  bool accepted() const { return accepted_; }
  int answered() const { return answered_; }
  // Waits for `more` probes after the ones answered so far.
  bool probed_again(int more = 1, int seconds = 25) {
    int target = answered_ + more;
    return eventually([&] { return answered_ >= target; }, seconds);
  }

 private:
  Subscriber alice_;
  bool accepted_ = false;
  std::string session_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

// Sends `bytes` through the subscriber's connection once a second, for at
// most a minute, until destroyed.
class EverySecond {
 public:
  EverySecond(Subscriber& subscriber, std::string bytes)
      : thread_([this, &subscriber, bytes] {
          for (int i = 0; i < 60 && !done_; ++i) {
            subscriber.send_raw(bytes);
            std::this_thread::sleep_for(std::chrono::seconds(1));
          }
        }) {}
  ~EverySecond() {
    done_ = true;
    thread_.join();
  }
  EverySecond(const EverySecond&) = delete;
  EverySecond& operator=(const EverySecond&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class AuthHostileTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* address : {kHostile, kHostile2})
      run({"/usr/sbin/ip", "addr", "add", std::string(address) + "/8", "dev", "lo"});
    raise_descriptor_limit();
  }
  // Starts the daemon and logs alice in; the census before anything hostile.
  void start(const std::string& limits = "") {
    scene_.write_config("ping_client_time 5\nclient_timeout 10\n" + limits);
    daemon_ = std::make_unique<AuthDaemon>();
    ASSERT_TRUE(daemon_->ready()) << daemon_->output() << scene_.log();
    alice_ = std::make_unique<KeptLogin>();
    ASSERT_TRUE(alice_->accepted()) << scene_.log();
    ASSERT_TRUE(alice_->probed_again()) << scene_.log();
    before_ = census(daemon_->pid());
  }
  // Alice is still served and forwarded; bob can log in and out.
  void expect_service_intact(const std::string& when) {
    SCOPED_TRACE(when);
    EXPECT_TRUE(alice_->probed_again()) << "alice's keep-alive stopped\n" << scene_.log();
    EXPECT_TRUE(scene_.forwarded(kAlice));
    Subscriber bob(kBob);
    EXPECT_EQ(bob.login("bob", "abcdefgh"), "222 Authentication accepted.\r\n") << scene_.log();
    EXPECT_EQ(bob.line().rfind("227 ", 0), 0u);
    EXPECT_TRUE(scene_.forwarded(kBob));
    bob.reset();
    EXPECT_TRUE(eventually([&] { return !scene_.forwarded(kBob); }, 60)) << "bob's forwarding stays after he left";
  }
  // Waits until the daemon is back to the processes it had before.
  bool back_to_before(int seconds) {
    return eventually([&] { return census(daemon_->pid()).processes <= before_.processes; }, seconds);
  }
  long pss_allowance_kb(int extra_processes) const { return zarn_test::pss_allowance_kb(before_, extra_processes); }

  AuthScene scene_;
  std::unique_ptr<AuthDaemon> daemon_;
  std::unique_ptr<KeptLogin> alice_;
  Census before_;
};

TEST_F(AuthHostileTest, BinaryGarbageEndsOnlyItsOwnDialogue) {
  start();
  // NULs, bytes above 127 and carriage returns in place of the three lines.
  {
    Subscriber garbage(kHostile);
    EXPECT_EQ(garbage.line(), "220 Username: \r\n");
    garbage.send_raw(std::string("\0\0\0al\0ice\r\n", 11));
    EXPECT_EQ(garbage.line(), "221 Password: \r\n");
    garbage.send_raw("\xff\xfe\xfd\x80\x81\r\n");
    EXPECT_EQ(garbage.line(), "223 Gateway: \r\n");
    garbage.send_raw("\r\r\r\r\n");
    EXPECT_EQ(garbage.line(), "224 Authentication failed.\r\n");
    garbage.expect_good_bye();
  }
  EXPECT_EQ(scene_.count("SELECT COUNT(*) FROM internet_vpn_auth_failures WHERE user_line = '' AND reason = 0"), "1")
      << "the user-name line is the text before its first NUL";
  // Valid digits that decode to control characters and quotes.
  {
    Subscriber garbage(kHostile);
    EXPECT_EQ(garbage.login(std::string("a'\0\"\\", 5), "\x01\x02\xff"), "224 Authentication failed.\r\n");
    garbage.expect_good_bye();
  }
  // Carriage returns without a line feed, then the peer leaves.
  {
    Subscriber garbage(kHostile);
    EXPECT_EQ(garbage.line(), "220 Username: \r\n");
    garbage.send_raw(std::string(100000, '\r'));
    EXPECT_EQ(garbage.line(), "232 Good Bye.\r\n") << "a line beyond 64 KiB is a failed read";
    garbage.reset();
  }
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Error: did not receive username.\n")) << scene_.log();
  EXPECT_TRUE(back_to_before(30)) << describe(census(daemon_->pid()));
  expect_service_intact("after the garbage");
  EXPECT_EQ(daemon_->wait_exit(1), -1) << "the listener ended";
}

TEST_F(AuthHostileTest, EndlessInputIsCutAfterABoundedAmount) {
  start();
  struct Case {
    const char* name;
    std::string pattern;
  };
  const Case cases[] = {
      {"one endless line", "A"},
      {"NULs without end", std::string(1, '\0')},
      {"carriage returns without end", "\r"},
      {"short lines without end", "x\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The connection before this one may still be ending; its process is not this one's.
    ASSERT_TRUE(back_to_before(30)) << describe(census(daemon_->pid()));
    Census during;
    StreamOutcome outcome =
        stream_until_closed(kHostile, kAuthPort, c.pattern, 25, [&] { during = census(daemon_->pid()); });
    EXPECT_TRUE(outcome.closed_by_peer) << "still reading after " << outcome.bytes_sent << " bytes";
    // Three prompts' lines and 64 drained lines of at most 64 KiB each, plus
    // what the sockets' buffers hold on both ends.
    EXPECT_LT(outcome.bytes_sent, 16LL << 20) << "bytes the service took before it closed";
    EXPECT_EQ(outcome.received.rfind("220 Username: \r\n", 0), 0u) << outcome.received;
    EXPECT_LE(during.processes, before_.processes + 1 + process_slack()) << describe(during);
    EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(1))
        << "before: " << describe(before_) << "\nduring: " << describe(during);
    std::cout << "[ measured ] " << c.name << ": " << outcome.bytes_sent << " bytes sent before the close; before "
              << describe(before_) << "; during " << describe(during) << "\n";
  }
  EXPECT_TRUE(back_to_before(30)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
  expect_service_intact("after the endless input");
}

TEST_F(AuthHostileTest, SilentAndTricklingPeersHoldNoMoreThanTheirAddressMay) {
  start("login_timeout 120\n");
  // Four peers from one address trickle a byte every two seconds: each read
  // comes within client_timeout, so each keeps its process (until the login
  // time limit, which this test does not reach).
  std::vector<std::unique_ptr<Trickler>> tricklers;
  for (int i = 0; i < 4; ++i) tricklers.push_back(std::make_unique<Trickler>(kHostile, kAuthPort, 'a', 2000));
  Subscriber silent(kHostile2, 60);
  ASSERT_TRUE(eventually([&] { return census(daemon_->pid()).processes == before_.processes + 5; }, 10))
      << describe(census(daemon_->pid()));
  // A fifth from the same address is closed at once, without a reply.
  {
    Subscriber fifth(kHostile, 5);
    EXPECT_EQ(fifth.peer().read_to_close(), "");
    EXPECT_TRUE(fifth.peer().closed()) << "the fifth connection was served";
  }
  EXPECT_TRUE(wait_for_text(kAuthLog, "Client 127.0.0.30 refused: 4 connections already open from this address\n"))
      << scene_.log();
  Census during = census(daemon_->pid());
  expect_service_intact("with four tricklers and a silent peer");

  // The silent peer: the prompt, then after client_timeout the closing lines,
  // each waiting client_timeout for an answer, then the close.
  EXPECT_EQ(silent.line(), "220 Username: \r\n");
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Error: did not receive username.\n", 15)) << scene_.log();
  EXPECT_EQ(silent.line(), "232 Good Bye.\r\n");
  EXPECT_EQ(silent.line(), "232 Closing Socket.\r\n");
  EXPECT_EQ(silent.peer().read_to_close(), "");
  EXPECT_TRUE(silent.peer().closed()) << "the silent peer was not closed within 4 time-outs";

  for (auto& t : tricklers) EXPECT_FALSE(t->closed_by_peer()) << "a trickler was closed";
  tricklers.clear();
  EXPECT_TRUE(back_to_before(30)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  std::cout << "[ measured ] before " << describe(before_) << "; four tricklers and a silent peer: " << describe(during)
            << "; after " << describe(after) << "\n";
  EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(5)) << describe(before_) << " / " << describe(during);
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
}

TEST_F(AuthHostileTest, APeerThatTricklesIsCutAtTheLoginTimeLimit) {
  start("login_timeout 15\n");
  using Clock = std::chrono::steady_clock;
  // One byte a second and never a line end: every read comes well within
  // client_timeout (10 s), only the limit on the whole dialogue ends it.
  {
    const Clock::time_point began = Clock::now();
    Trickler trickler(kHostile, kAuthPort, 'a', 1000);
    EXPECT_TRUE(eventually([&] { return trickler.closed_by_peer(); }, 40)) << "still connected after 40 s";
    const auto held = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
    trickler.stop();
    EXPECT_GE(held, 14) << "cut before the limit";
    EXPECT_LE(held, 25) << "cut long after the limit";
    EXPECT_EQ(trickler.received(), "220 Username: \r\n232 Good Bye.\r\n232 Closing Socket.\r\n")
        << "the closing lines still go out, and nothing waits for their answers";
    std::cout << "[ measured ] a peer trickling a byte a second was held " << held << " s\n";
  }
  std::string log = scene_.log();
  EXPECT_NE(log.find("]Error: did not receive username.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("]Error: login dialogue not completed within 15 seconds.\n"), std::string::npos) << log;

  // The three lines sent at once but the gateway trickled: the limit is on the
  // dialogue as a whole, not on each line.
  {
    Subscriber slow(kHostile2, 40);
    EXPECT_EQ(slow.line(), "220 Username: \r\n");
    slow.send(Encrypt("alice"));
    EXPECT_EQ(slow.line(), "221 Password: \r\n");
    slow.send(Encrypt("abcdefgh"));
    EXPECT_EQ(slow.line(), "223 Gateway: \r\n");
    std::string rest;
    {
      EverySecond trickle(slow, "2");
      rest = slow.peer().read_to_close();
    }
    EXPECT_TRUE(slow.peer().closed()) << rest;
    EXPECT_EQ(rest, "232 Good Bye.\r\n232 Closing Socket.\r\n");
  }
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Error: did not receive gateway.\n")) << scene_.log();

  // After a refused login, a good-bye trickled without end: the closing lines
  // have the same limit.
  {
    Subscriber refused(kHostile2, 40);
    EXPECT_EQ(refused.login("alice", "wrong"), "224 Authentication failed.\r\n");
    EXPECT_EQ(refused.line(), "232 Good Bye.\r\n");
    const Clock::time_point began = Clock::now();
    std::string rest;
    {
      EverySecond trickle(refused, "x");
      rest = refused.peer().read_to_close();
    }
    const auto held = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
    EXPECT_TRUE(refused.peer().closed()) << rest;
    EXPECT_EQ(rest, "232 Closing Socket.\r\n");
    EXPECT_LE(held, 25) << "the closing lines were not cut at the limit";
  }
  EXPECT_TRUE(wait_for_text(kAuthLog, "]Error: closing lines not answered within 15 seconds.\n")) << scene_.log();

  // Alice logged in long before: her replies keep the window of each probe.
  EXPECT_EQ(scene_.log().find("Response was null"), std::string::npos) << scene_.log();
  expect_service_intact("after the trickling peers");
}

TEST_F(AuthHostileTest, AThousandConnectionsFromOneAddressTakeFourProcesses) {
  start();
  ConnectionFlood flood(kHostile, kAuthPort, 1000);
  ASSERT_EQ(flood.connected(), 1000) << flood.failure();
  // All but four are closed without a word, before any process is made.
  EXPECT_TRUE(eventually([&] { return flood.closed_by_peer() >= 996; }, 30))
      << flood.closed_by_peer() << " of 1000 closed";
  Census during = census(daemon_->pid());
  EXPECT_EQ(flood.greeted(), 4) << "connections that got the prompt";
  EXPECT_LE(during.processes, before_.processes + 4 + process_slack()) << describe(during);
  EXPECT_LE(during.pss_kb, before_.pss_kb + pss_allowance_kb(4)) << describe(before_) << " / " << describe(during);
  expect_service_intact("during the flood");

  // The refusals are logged once, then summed up once per ten seconds.
  std::string log = scene_.log();
  EXPECT_EQ(occurrences(log, "Client 127.0.0.30 sock:"), 4) << log.substr(0, 2000);
  EXPECT_EQ(occurrences(log, "Client 127.0.0.30 refused: 4 connections already open from this address\n"), 1);
  EXPECT_TRUE(wait_for_text(kAuthLog, "Client 127.0.0.30 refused 995 more times in ", 15)) << scene_.log();
  EXPECT_LT(scene_.log().size(), 20000u) << "the flood filled the log";

  flood.close_all();
  EXPECT_TRUE(back_to_before(30)) << describe(census(daemon_->pid()));
  Census after = census(daemon_->pid());
  std::cout << "[ measured ] before " << describe(before_)
            << "; 1000 connections from one address: " << describe(during) << "; after " << describe(after) << "\n";
  EXPECT_LE(after.pss_kb, before_.pss_kb + pss_allowance_kb(0)) << describe(before_) << " / " << describe(after);
  // The address is served again once its processes have ended.
  Subscriber again(kHostile);
  EXPECT_EQ(again.line(), "220 Username: \r\n");
}

TEST_F(AuthHostileTest, TheLimitIsReadFromTheConfiguration) {
  struct Case {
    std::string line;
    int limit;
    bool complaint;
  };
  const Case cases[] = {{"max_clients_per_address 1\n", 1, false},
                        {"max_clients_per_address 0\n", 4, true},
                        {"max_clients_per_address lots\n", 4, true}};
  int port = 7100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    // A port of its own for each start: the last one's closed connections may
    // still hold the previous port.
    ++port;
    std::remove(kAuthLog.c_str());
    scene_.write_config("ping_client_time 5\nclient_timeout 10\n" + c.line + "auth_port " + std::to_string(port) +
                        "\n");
    AuthDaemon daemon;
    ASSERT_TRUE(wait_for_text(kAuthLog, "Accepting connections on port: " + std::to_string(port) + "\n", 10))
        << daemon.output() << scene_.log();
    EXPECT_EQ(scene_.log().find("max_clients_per_address in the config should have a value between 1 and 1000; "
                                "using 4\n") != std::string::npos,
              c.complaint)
        << scene_.log();
    ConnectionFlood flood(kHostile, port, c.limit + 1);
    EXPECT_TRUE(eventually([&] { return flood.closed_by_peer() == 1; }, 10)) << flood.closed_by_peer() << " closed";
    EXPECT_TRUE(eventually([&] { return flood.greeted() == c.limit; }, 10)) << flood.greeted() << " greeted";
    flood.close_all();
  }
}

}  // namespace
