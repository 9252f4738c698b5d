// The shaping comparison: rates, classes and filters of the clients.
#include "tools/state/state_shaping.h"

#include <gtest/gtest.h>

namespace zarn_state {
namespace {

TEST(StateShaping, RateTextsInBytesPerSecondAsTcReadsThem) {
  EXPECT_EQ(rate_bytes("2Mbit"), 250000u);
  EXPECT_EQ(rate_bytes("512Kbit"), 64000u);
  EXPECT_EQ(rate_bytes("0Kbit"), 0u);
}

TEST(StateShaping, ClassesAndFiltersAgainstTheKernel) {
  Shaping s;
  s.wanted_classes = {{"eth1", {0x10021, 0x10010, 250000, 500000}, "1"},
                      {"eth1", {0x10023, 0x10010, 125000, 125000}, "2"}};
  s.wanted_filters = {{"eth1", {0x10010, 0x10021, "dst", "10.1.1.10", 0}, "1"},
                      {"eth1", {0x10010, 0x10023, "dst", "10.1.1.11", 0}, "2"}};
  s.held_classes = {{"eth1", {0x10021, 0x10010, 250000, 400000}}, {"eth1", {0x10030, 0x10010, 1, 1}}};
  s.held_filters = {{"eth1", {0x10010, 0x10021, "dst", "10.1.1.10", 0x800}},
                    {"eth1", {0x10010, 0x10021, "dst", "10.1.1.10", 0x801}},
                    {"eth1", {0x10020, 0x10030, "src", "10.1.1.12", 0x802}}};
  // Client 1 has two addresses; 10.1.1.12 belongs to client 3, which has no class.
  std::vector<SettingRow> settings;
  for (auto [cid, ip] : {std::pair{1, "10.1.1.10"}, {2, "10.1.1.11"}, {1, "10.1.1.20"}, {3, "10.1.1.12"}}) {
    SettingRow row;
    row.id = static_cast<int>(settings.size()) + 1;
    row.cid = cid;
    row.ip = ip;
    settings.push_back(row);
  }
  std::vector<std::string> got;
  for (const Difference& d : compare_shaping(s, settings)) {
    std::string addresses;
    for (const std::string& a : d.client_addresses) addresses += a + " ";
    got.push_back(d.reason + "|" + d.ip + "|" + d.object + "|" + d.cid + "|" + d.client + "|" + addresses);
    EXPECT_TRUE(d.names_client) << d.reason;
  }
  // The repair works on the client of the class (cid); the report names the
  // client also where the class is no client's.
  EXPECT_EQ(got, (std::vector<std::string>{
                     "class wrong rate||eth1 class 1:21 parent 1:10 rate 250000 ceil 400000 should be 250000 ceil "
                     "500000 bytes/s|1|1|10.1.1.10 10.1.1.20 ",
                     "class missing||eth1 class 1:23 parent 1:10|2|2|10.1.1.11 ",
                     "class stale||eth1 class 1:30 parent 1:10||3|10.1.1.12 ",
                     "filter stale|10.1.1.10|eth1 parent 1:10 dst flowid 1:21|1|1|10.1.1.10 10.1.1.20 ",
                     "filter missing|10.1.1.11|eth1 parent 1:10 dst flowid 1:23|2|2|10.1.1.11 ",
                     "filter stale|10.1.1.12|eth1 src flowid 1:30||3|10.1.1.12 ",
                 }));

  // A class and a filter of an address no setting has: no client to name.
  s.held_filters = {{"eth1", {0x10020, 0x10030, "src", "10.9.9.9", 0x803}}};
  std::vector<Difference> orphans = compare_shaping(s, settings);
  ASSERT_GE(orphans.size(), 2u);
  for (const Difference& d : orphans) {
    if (d.reason == kClassStale || (d.reason == kFilterStale && d.ip == "10.9.9.9")) {
      EXPECT_EQ(d.client, "") << d.reason << " " << d.object;
    }
  }
}

}  // namespace
}  // namespace zarn_state
