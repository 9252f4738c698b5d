// The comparison of desired and held state, and the readers' text parsing.
#include "tools/state/state_compare.h"

#include <gtest/gtest.h>

#include "tools/state/state_report.h"
#include "tools/state/state_sets.h"

namespace zarn_state {
namespace {

std::vector<std::string> reasons(const std::vector<Difference>& differences) {
  std::vector<std::string> out;
  for (const Difference& d : differences) out.push_back(d.reason + " " + d.ip + d.object);
  return out;
}

Desired one_network() {
  Desired d;
  d.networks.push_back(*make_network("10.1.1.0/24"));
  return d;
}

Held holding(const Desired& d) {
  Held h;
  for (const Network& n : d.networks) {
    h.sets.insert(n.source_set);
    h.chains.insert(n.unpaid_chain);
  }
  return h;
}

TEST(StateCompare, NetworkNamesAndMembership) {
  std::optional<Network> n = make_network("10.1.2.0/23");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->source_set, "src_10_1_2_0_23");
  EXPECT_EQ(n->unpaid_chain, "unpaied_10_1_2");
  EXPECT_FALSE(make_network("10.1.2.0"));
  EXPECT_FALSE(make_network("10.1.2.300/24"));
  std::vector<Network> nets{*n};
  EXPECT_NE(network_of(nets, "10.1.3.254"), nullptr) << "a /23 holds the next /24";
  EXPECT_EQ(network_of(nets, "10.1.4.1"), nullptr);
  EXPECT_EQ(network_of(nets, "not an address"), nullptr);
}

TEST(StateCompare, ForwardingDifferences) {
  Desired d = one_network();
  d.forwards = {
      {"10.1.1.10", "02:00:00:00:00:0A"}, {"10.1.1.11", "02:00:00:00:00:0B"}, {"10.1.1.12", "02:00:00:00:00:0C"}};
  d.not_forwarded = {{"10.1.1.20", kStaleNotPaid}};
  d.logged_out = {{"10.1.1.30", LoggedOut{"10.1.1.30", "02:00:00:00:00:1E", 3}}};
  Held h = holding(d);
  h.forwards = {{"10.1.1.10", {"02:00:00:00:00:0A"}},
                {"10.1.1.11", {"02:00:00:00:00:FF"}},
                {"10.1.1.20", {"02:00:00:00:00:14"}},
                {"10.1.1.21", {"02:00:00:00:00:15"}},
                {"10.1.1.30", {"02:00:00:00:00:1E"}}};
  EXPECT_EQ(reasons(compare(d, h)), (std::vector<std::string>{"wrong MAC 10.1.1.11", "forwarding missing 10.1.1.12",
                                                              "forwarding stale: not paid 10.1.1.20",
                                                              "forwarding stale: client gone 10.1.1.21"}));
  h.forwards["10.1.1.10"].push_back("02:00:00:00:00:0B");
  EXPECT_EQ(reasons(compare(d, h)).front(), "wrong MAC 10.1.1.10") << "a second MAC for a right address is wrong too";
}

TEST(StateCompare, MarkDifferencesKeepTheFirstRule) {
  Desired d = one_network();
  d.marks = {"10.1.1.12", "10.1.1.13"};
  Held h = holding(d);
  h.marks = {{"10.1.1.12", {{"unpaied_10_1_1", 1}, {"unpaied_10_1_1", 4}}}, {"10.1.1.14", {{"unpaied_10_1_1", 2}}}};
  std::vector<Difference> diffs = compare(d, h);
  ASSERT_EQ(reasons(diffs), (std::vector<std::string>{"mark duplicated 10.1.1.12unpaied_10_1_1",
                                                      "mark missing 10.1.1.13", "mark stale 10.1.1.14unpaied_10_1_1"}));
  ASSERT_EQ(diffs[0].rules.size(), 1u);
  EXPECT_EQ(diffs[0].rules[0].number, 4) << "the duplicate, not the first rule, goes";
}

TEST(StateCompare, MissingSetOrChainHidesItsAddresses) {
  Desired d = one_network();
  d.forwards = {{"10.1.1.10", "02:00:00:00:00:0A"}};
  d.marks = {"10.1.1.12"};
  Held h;
  EXPECT_EQ(reasons(compare(d, h)),
            (std::vector<std::string>{"set missing src_10_1_1_0_24", "chain missing unpaied_10_1_1"}));
}

TEST(StateReaders, SetListingAndJsonText) {
  std::map<std::string, std::vector<std::string>> members;
  parse_set_members(
      "Name: src_10_1_1_0_24\nType: bitmap:ip,mac\nMembers:\n10.1.1.10,02:00:00:00:00:0a\n"
      "10.1.1.11,02:00:00:00:00:0B\n",
      members);
  EXPECT_EQ(members["10.1.1.10"], std::vector<std::string>{"02:00:00:00:00:0A"});
  EXPECT_EQ(members.size(), 2u);
  EXPECT_EQ(json_string("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
}

}  // namespace
}  // namespace zarn_state
