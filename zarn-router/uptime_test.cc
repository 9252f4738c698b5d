#include "zarn-router/uptime.h"

#include <gtest/gtest.h>

namespace {

TEST(UptimeLine, UnitsChangeAboveAMinuteAndAboveAnHour) {
  EXPECT_EQ(uptime_line(0), "Uptime: 0 seconds\r\n");
  EXPECT_EQ(uptime_line(60), "Uptime: 60 seconds\r\n");
  EXPECT_EQ(uptime_line(61), "Uptime: 1 minutes\r\n");
  EXPECT_EQ(uptime_line(119), "Uptime: 1 minutes\r\n");
  EXPECT_EQ(uptime_line(3600), "Uptime: 60 minutes\r\n");
  EXPECT_EQ(uptime_line(3601), "Uptime: 1 hours\r\n");
  EXPECT_EQ(uptime_line(7199), "Uptime: 1 hours\r\n");
  EXPECT_EQ(uptime_line(90061), "Uptime: 25 hours\r\n");
}

TEST(UptimeLine, TheMachinesUptimeIsRead) {
  std::optional<std::string> line = uptime();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("Uptime: ", 0), 0u) << *line;
  EXPECT_EQ(line->substr(line->size() - 2), "\r\n") << *line;
}

}  // namespace
