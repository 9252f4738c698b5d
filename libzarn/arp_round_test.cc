// A round of probes on the real kernel: hosts in namespaces behind a bridge
// answer by themselves; the addresses nobody holds stay silent.
#include "libzarn/arp_round.h"

#include <chrono>

#include <gtest/gtest.h>

#include "tests/subscriber_lan.h"

namespace {

using namespace zarn_test;
using Clock = std::chrono::steady_clock;

std::string text(const ArpProbeResult& result) {
  if (!result.probed) return "(not probed)";
  return result.mac ? *result.mac : "(null)";
}

// Hosts h1 (10.1.2.50) and h2 (10.1.2.51) on lan0; 10.1.2.9x are nobody.
class ArpRoundTest : public testing::Test {
 protected:
  void SetUp() override {
    lan_.add_host("h1", "10.1.2.50", "02:ab:cd:00:00:32");
    lan_.add_host("h2", "10.1.2.51", "02:ab:cd:00:00:33");
  }
  // The round's results, how long it took, and the requests h1 received.
  std::vector<ArpProbeResult> round(
      const std::vector<ArpProbe>& probes, int per_second, const std::function<bool()>& stop = [] { return false; }) {
    ArpWatch watch(lan_, "h1");
    auto start = Clock::now();
    std::vector<ArpProbeResult> results = arp_ping_round(probes, {per_second, kArpWindowMs}, stop);
    elapsed_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    requests_seen_ = watch.count();
    return results;
  }

  SubscriberLan lan_;
  long elapsed_ms_ = 0;
  int requests_seen_ = 0;
};

TEST_F(ArpRoundTest, EveryAddressGetsItsOwnAnswerOrNone) {
  std::vector<ArpProbeResult> results = round({{"10.1.2.50", "lan0"},
                                               {"10.1.2.97", "lan0"},
                                               {"10.1.2.51", "lan0"},
                                               {"10.1.2.98", "lan0"},
                                               {"10.1.2.050", "lan0"},  // decimal parts: h1 again
                                               {"10.1.2.99", "lan0"},
                                               {"10.1.2.50", "nosuch0"},
                                               {"127.0.0.1", "lo"},
                                               {"10.1.2.51", ""}},
                                              0);
  const char* expected[] = {"02:AB:CD:00:00:32",
                            "(null)",
                            "02:AB:CD:00:00:33",
                            "(null)",
                            "02:AB:CD:00:00:32",
                            "(null)",
                            "(null)",
                            "(null)",
                            "(null)"};
  ASSERT_EQ(results.size(), std::size(expected));
  for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(text(results[i]), expected[i]) << "probe " << i;
  EXPECT_EQ(requests_seen_, 5) << "one request per address on lan0, none elsewhere";
  // Three silent windows side by side: one window, not three probes' worth (6 s).
  EXPECT_GE(elapsed_ms_, kArpWindowMs);
  EXPECT_LT(elapsed_ms_, 3 * kArpWindowMs);
}

// Requests go out at the pace, and each waits its whole window from the
// moment it went out: five at ten a second end no earlier than 0.4 s plus a window.
TEST_F(ArpRoundTest, RequestsKeepThePaceAndEachHasItsWholeWindow) {
  std::vector<ArpProbe> probes;
  for (int last = 90; last < 95; ++last) probes.push_back({"10.1.2." + std::to_string(last), "lan0"});
  std::vector<ArpProbeResult> results = round(probes, 10);
  for (const ArpProbeResult& result : results) EXPECT_EQ(text(result), "(null)");
  EXPECT_EQ(requests_seen_, 5);
  EXPECT_GE(elapsed_ms_, 400 + kArpWindowMs);
  EXPECT_LT(elapsed_ms_, 400 + 3 * kArpWindowMs);
}

// Answers to requests that go out late, after silent ones, are each matched
// to their own address.
TEST_F(ArpRoundTest, AnAnswerCountsForItsOwnRequestOnly) {
  std::vector<ArpProbeResult> results =
      round({{"10.1.2.97", "lan0"}, {"10.1.2.98", "lan0"}, {"10.1.2.51", "lan0"}, {"10.1.2.50", "lan0"}}, 4);
  EXPECT_EQ(text(results[0]), "(null)");
  EXPECT_EQ(text(results[1]), "(null)");
  EXPECT_EQ(text(results[2]), "02:AB:CD:00:00:33");
  EXPECT_EQ(text(results[3]), "02:AB:CD:00:00:32");
}

TEST_F(ArpRoundTest, AStopEndsTheSendingAndTheRequestsOutAreFinished) {
  int asked = 0;
  std::vector<ArpProbeResult> results =
      round({{"10.1.2.50", "lan0"}, {"10.1.2.97", "lan0"}, {"10.1.2.51", "lan0"}, {"10.1.2.50", "lan0"}}, 20,
            [&] { return ++asked > 2; });
  EXPECT_EQ(text(results[0]), "02:AB:CD:00:00:32");
  EXPECT_EQ(text(results[1]), "(null)") << "its window is waited for";
  EXPECT_EQ(text(results[2]), "(not probed)");
  EXPECT_EQ(text(results[3]), "02:AB:CD:00:00:32") << "it shares the first request";
  EXPECT_EQ(requests_seen_, 2);
  EXPECT_GE(elapsed_ms_, kArpWindowMs);
}

// A second LAN holds a host with the same address: each interface has its own answer.
TEST_F(ArpRoundTest, TheSameAddressOnTwoInterfacesIsAskedOnEach) {
  SubscriberLan other("lan1", "10.1.3.1/24");
  other.add_host("h3", "10.1.2.50", "02:ab:cd:00:01:32");
  std::vector<ArpProbeResult> results =
      round({{"10.1.2.50", "lan0"}, {"10.1.2.50", "lan1"}, {"10.1.2.51", "lan1"}, {"10.1.2.51", "lan0"}}, 0);
  EXPECT_EQ(text(results[0]), "02:AB:CD:00:00:32");
  EXPECT_EQ(text(results[1]), "02:AB:CD:00:01:32");
  EXPECT_EQ(text(results[2]), "(null)") << "h2 is not on lan1";
  EXPECT_EQ(text(results[3]), "02:AB:CD:00:00:33");
}

TEST_F(ArpRoundTest, UnusableInterfacesSendNothing) {
  ip({"link", "set", "lan0", "arp", "off"});
  std::vector<ArpProbeResult> results = round({{"10.1.2.50", "lan0"}, {"10.1.2.51", "lan0"}}, 0);
  ip({"link", "set", "lan0", "arp", "on"});
  EXPECT_EQ(text(results[0]), "(null)");
  EXPECT_EQ(text(results[1]), "(null)");
  EXPECT_EQ(requests_seen_, 0);
  EXPECT_LT(elapsed_ms_, 1000) << "nothing to wait for";

  EXPECT_TRUE(round({}, 0).empty());
}

}  // namespace
