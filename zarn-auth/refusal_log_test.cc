#include "zarn-auth/refusal_log.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(RefusalLog, TheFirstRefusalAtOnceThenOneSummaryPerInterval) {
  RefusalLog log(10);
  EXPECT_EQ(log.refused("10.0.0.1", 4, 100),
            Lines{"Client 10.0.0.1 refused: 4 connections already open from this address\n"});
  EXPECT_FALSE(log.next_due() == std::nullopt);
  // A flood within the interval writes nothing more.
  for (time_t t = 100; t < 110; ++t)
    for (int i = 0; i < 100; ++i) EXPECT_EQ(log.refused("10.0.0.1", 4, t), Lines{}) << "at " << t;
  // Another address has its own first line.
  EXPECT_EQ(log.refused("10.0.0.2", 5, 105).size(), 1u);
  EXPECT_EQ(log.refused("10.0.0.1", 4, 110),
            Lines{"Client 10.0.0.1 refused 1001 more times in 10 seconds: 4 connections already open\n"});
  EXPECT_EQ(log.refused("10.0.0.1", 3, 111), Lines{});
  EXPECT_EQ(log.next_due(), 115) << "the quiet second address is due first";
}

TEST(RefusalLog, ASummaryIsWrittenWhenTheFloodStopsAndTheAddressForgotten) {
  RefusalLog log(10);
  log.refused("10.0.0.1", 4, 100);
  log.refused("10.0.0.1", 4, 101);
  log.refused("10.0.0.1", 4, 102);
  EXPECT_EQ(log.due(109), Lines{});
  EXPECT_EQ(log.due(110), Lines{"Client 10.0.0.1 refused 2 more times in 10 seconds: 4 connections already open\n"});
  EXPECT_EQ(log.next_due(), 120);
  EXPECT_EQ(log.due(120), Lines{}) << "nothing more to report";
  EXPECT_EQ(log.next_due(), std::nullopt) << "the quiet address is forgotten";
  // A new flood later starts with a full line again.
  EXPECT_EQ(log.refused("10.0.0.1", 4, 500).size(), 1u);
  EXPECT_EQ(log.refused("10.0.0.1", 4, 501), Lines{});
  log.due(511);
  EXPECT_EQ(log.refused("10.0.0.1", 4, 530).size(), 1u) << "after a quiet interval a refusal is logged in full";
}

}  // namespace
