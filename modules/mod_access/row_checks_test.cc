#include "modules/mod_access/row_checks.h"

#include <gtest/gtest.h>

#include "libzarn/globals.h"
#include "tests/testing.h"

namespace {

TEST(RowChecks, AddressesAreDottedHostsAndNothingElse) {
  for (const char* good : {"10.1.1.10", "192.168.0.255", "010.001.001.010"}) EXPECT_TRUE(is_host_address(good)) << good;
  for (const char* bad : {"", "10.1.1.10 ", " 10.1.1.10", "10.1.1.10 -j ACCEPT", "10.1.1.0/24", "0.0.0.0/0",
                          "10.1.1.10;id", "10.1.1.10\n", "10.1.1", "10.1.1.256", "255.1.1.1", "10.1.1.10'"})
    EXPECT_FALSE(is_host_address(bad)) << bad;
}

TEST(RowChecks, MacsAreSixColonSeparatedPairs) {
  for (const char* good : {"02:00:00:00:01:0A", "02:00:00:00:01:0a"}) EXPECT_TRUE(is_mac_address(good)) << good;
  for (const char* bad : {"", "0", "020000000100", "02:00:00:00:01:0A ", "02:00:00:00:01:0A -exist",
                          "02:00:00:00:01:0G", "02-00-00-00-01-0A", "02:00:00:00:010A:", "02:00:00:00:01:0A,x"})
    EXPECT_FALSE(is_mac_address(bad)) << bad;
}

TEST(RowChecks, NetworksAreAnAddressAndAPrefixLength) {
  for (const char* good : {"10.1.1.0/24", "0.0.0.0/0", "10.1.1.1/32"}) EXPECT_TRUE(is_network(good)) << good;
  for (const char* bad : {"", "10.1.1.0", "10.1.1.0/", "10.1.1.0/33", "10.1.1.0/024", "10.1.1.0/24 ",
                          "10.1.1.0/24 -j DROP", "/24", "10.1.1.0/2x", "10.1.1.0/24;id", "10.1.1/24", "x10.1.1.0/24"})
    EXPECT_FALSE(is_network(bad)) << bad;
}

TEST(RowChecks, ASkippedRowIsLoggedPrintableAndShort) {
  zarn_test::TempDir dir;
  std::string log = dir.file("log");
  extern_error_log = log.c_str();
  EXPECT_FALSE(skip_row("ip", "10.1.1.1\n-j DROP"));
  EXPECT_FALSE(skip_row("mac", std::string(100, 'A')));
  EXPECT_EQ(zarn_test::read_file(log), "Internet: row skipped, bad ip: 10.1.1.1?-j DROP\n"
                                       "Internet: row skipped, bad mac: " + std::string(64, 'A') + "\n");
  extern_error_log = nullptr;
}

}  // namespace
