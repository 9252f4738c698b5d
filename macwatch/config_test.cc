#include "macwatch/config.h"

#include <gtest/gtest.h>

#include "libzarn/config.h"
#include "macwatch/state.h"

namespace {

void reset() { macwatch_settings = MacwatchSettings{}; }

TEST(MacwatchConfig, AllFourKeysAreRequiredInAnyCase) {
  reset();
  parse_macwatch_config("LISTENADDR 10.1.2.1\nPath_Iptables /sbin/iptables\npath_modprobe /sbin/modprobe\n");
  EXPECT_FALSE(macwatch_settings_complete()) << "internal_eth is missing";
  parse_macwatch_config("Internal_Eth eth1\nunknown_key x\n");
  EXPECT_TRUE(macwatch_settings_complete());
  EXPECT_EQ(macwatch_settings.inetaddr.value_or("(unset)"), "10.1.2.1");
  EXPECT_EQ(macwatch_settings.internal_eth.value_or("(unset)"), "eth1");
}

TEST(MacwatchConfig, TheDatabaseKeysComeFromTheSameFile) {
  reset();
  parse_macwatch_config("mysql_host db.example\nmysql_dbname zarn\nlistenaddr 10.1.2.1\n");
  EXPECT_EQ(mysql_host.value_or("(unset)"), "db.example");
  EXPECT_EQ(mysql_dbname.value_or("(unset)"), "zarn");
  EXPECT_FALSE(macwatch_settings_complete());
}

}  // namespace
