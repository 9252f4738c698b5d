#include "modules/mod_access/row_checks.h"

#include <gtest/gtest.h>

#include "libzarn/globals.h"
#include "tests/testing.h"

namespace {

TEST(RowChecks, AddressesAreDottedHostsAndNothingElse) {
  for (const char* good : {"10.1.1.10", "192.168.0.255", "10.0.0.100"}) EXPECT_TRUE(is_host_address(good)) << good;
  for (const char* bad :
       {"", "010.001.001.010", "10.1.1.010", "010.1.1.1", "10.1.1.10 ", " 10.1.1.10", "10.1.1.10 -j ACCEPT",
        "10.1.1.0/24", "0.0.0.0/0", "10.1.1.10;id", "10.1.1.10\n", "10.1.1", "10.1.1.256", "255.1.1.1", "10.1.1.10'"})
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
  for (const char* bad :
       {"", "10.1.1.0", "10.1.1.0/", "10.1.1.0/33", "10.1.1.0/024", "10.1.1.0/24 ", "10.1.1.0/24 -j DROP", "/24",
        "10.1.1.0/2x", "10.1.1.0/24;id", "10.1.1/24", "x10.1.1.0/24", "010.1.1.0/24", "10.1.01.0/24", "10.1.1.0/08"})
    EXPECT_FALSE(is_network(bad)) << bad;
}

TEST(RowChecks, PortListsAreNumbersAndRangesThatFitTheMatch) {
  for (const char* good : {"8080", "8080,8443", "1:1024", "0,65535", "1,2,3,4,5,6,7,8,9,10,11,12,13,14"})
    EXPECT_TRUE(is_port_list(good, kExtraMarkPorts)) << good;
  for (const char* bad :
       {"", "8080\r", "8080\n", "http", "8080,http", "8080,", ",8080", "80 80", "65536", "1:2:3", "-1",
        "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", "1:2,3:4,5:6,7:8,9:10,11:12,13:14,15", "8080;id", "123456"})
    EXPECT_FALSE(is_port_list(bad, kExtraMarkPorts)) << bad;
}

TEST(RowChecks, ASkippedRowIsLoggedPrintableAndShort) {
  zarn_test::TempDir dir;
  std::string log = dir.file("log");
  extern_error_log = log.c_str();
  EXPECT_FALSE(skip_row("ip", "10.1.1.1\n-j DROP"));
  EXPECT_FALSE(skip_row("mac", std::string(100, 'A')));
  EXPECT_EQ(zarn_test::read_file(log),
            "Internet: row skipped, bad ip: 10.1.1.1?-j DROP\n"
            "Internet: row skipped, bad mac: " +
                std::string(64, 'A') + "\n");
  extern_error_log = nullptr;
}

}  // namespace
