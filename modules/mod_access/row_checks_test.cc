#include "modules/mod_access/row_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libzarn/globals.h"
#include "libzarn/string_utils.h"
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

// The start checks each row by hand; it must read every text as the shared
// patterns do (the other programs check with those).
TEST(RowChecks, TheHandChecksReadAsTheSharedPatterns) {
  std::vector<std::string> texts;
  for (int a : {0, 1, 9, 10, 99, 100, 199, 200, 249, 250, 254, 255, 256, 299, 999, 1000})
    for (int b : {0, 7, 255, 256}) {
      std::string sa = std::to_string(a), sb = std::to_string(b);
      for (const std::string& text :
           {sa + "." + sb + ".1.1", "1." + sa + "." + sb + ".1", "1.1." + sb + "." + sa, "0" + sa + ".1.1.1",
            "1.1.1.0" + sa, sa + "." + sb + ".1", sa + "." + sb + ".1.1.1", sa + ".." + sb + ".1", "." + sa + ".1.1",
            sa + ".1.1.1.", "00." + sb + ".1.1"})
        texts.push_back(text);
    }
  const std::string alphabet = "0123456789.";
  unsigned seed = 17;
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    for (int k = 0, size = 1 + n % 16; k < size; ++k) {
      seed = seed * 1103515245 + 12345;
      text += alphabet[(seed >> 16) % alphabet.size()];
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) EXPECT_EQ(is_host_address(text), check_ipv4_address(text.c_str()) == 1) << text;

  std::vector<std::string> macs = {"02:00:00:00:01:0a", "02:00:00:00:01:0A",  "aB:cD:eF:01:23:45", "02:00:00:00:01:0g",
                                   "02-00-00-00-01-0A", "02:00:00:00:01:0A:", "0:00:00:00:01:0Aa", "02:00:00:00:01:0 "};
  const std::string mac_alphabet = "0aF:g-";
  for (int n = 0; n < 20000; ++n) {
    std::string text = "02:00:00:00:01:0A";
    seed = seed * 1103515245 + 12345;
    text[(seed >> 16) % text.size()] = mac_alphabet[(seed >> 8) % mac_alphabet.size()];
    macs.push_back(text);
  }
  for (const std::string& text : macs) {
    bool colons_in_place = true;
    for (size_t i = 2; i < text.size(); i += 3) colons_in_place = colons_in_place && text[i] == ':';
    EXPECT_EQ(is_mac_address(text), text.size() == 17 && colons_in_place && check_mac(text.c_str()) == 1) << text;
  }
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
