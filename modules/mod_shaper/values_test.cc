#include "modules/mod_shaper/values.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

TEST(ShaperValues, RateTextsOfClientRates) {
  struct Case {
    const char* kbit;
    const char* text;
  };
  const Case cases[] = {{"512", "512Kbit"}, {"1023", "1023Kbit"}, {"1024", "1Mbit"},    {"1536", "2Mbit"},
                        {"2560", "2Mbit"},  {"0", "0Kbit"},       {"1000", "1000Kbit"}, {"3584", "4Mbit"},
                        {"8192", "8Mbit"},  {"1100", "1Mbit"},    {"12x", "12Kbit"},    {"", "0Kbit"}};
  for (const Case& c : cases) EXPECT_EQ(rate_text(c.kbit), c.text) << c.kbit;
  EXPECT_EQ(rate_text(nullptr), "0Kbit");
}

// Found by the shaper text fuzz target: the rate columns are unsigned 32-bit,
// and a value beyond the range of int came out as a negative rate ("-1Kbit"),
// a line tc refuses: the client was left without its class.
TEST(ShaperValues, RateTextsOfTheWholeUnsignedColumnRange) {
  struct Case {
    const char* kbit;
    const char* text;
  };
  const Case cases[] = {{"2147483647", "2097152Mbit"},
                        {"2147483648", "2097152Mbit"},
                        {"4294967295", "4194304Mbit"},
                        {"99999999999", "4194304Mbit"},
                        {"-5", "0Kbit"}};
  for (const Case& c : cases) {
    EXPECT_EQ(rate_text(c.kbit), c.text) << c.kbit;
    EXPECT_TRUE(is_rate(rate_text(c.kbit))) << c.kbit << " gave " << rate_text(c.kbit);
  }
}

TEST(ShaperValues, ClassNumbersAreWrittenInDecimalAfterHexPrefix) {
  EXPECT_EQ(class_minor("5"), 25);
  EXPECT_EQ(class_minor("1"), 21);
  EXPECT_EQ(class_minor("9979"), 9999);
  EXPECT_EQ(class_minor(nullptr), 20);
}

// Found by the shaper text fuzz target: a class number near the top of int
// overflowed the addition, and one in the upper half of the unsigned column
// wrapped around to a small minor (4294967295 gave 19, a class of its own).
// Numbers too large for a class give a minor no class can have.
TEST(ShaperValues, ClassNumbersOfTheWholeUnsignedColumnRange) {
  constexpr int kTooLarge = std::numeric_limits<int>::max();
  EXPECT_EQ(class_minor("2147483627"), kTooLarge);
  EXPECT_EQ(class_minor("2147483647"), kTooLarge);
  EXPECT_EQ(class_minor("4294967295"), kTooLarge);
  EXPECT_EQ(class_minor("99999999999"), kTooLarge);
  EXPECT_EQ(class_minor("99999999999999999999"), kTooLarge);
  EXPECT_EQ(class_minor("2147483626"), kTooLarge - 1);
}

TEST(ShaperValues, DeviceNamesAsTheKernelTakesThemWithoutMeaningfulBytes) {
  for (const char* good : {"eth0", "lan0", "br-lan", "eth0.100", "wlan_guest", "a", "abcdefghijklmno"})
    EXPECT_TRUE(is_device_name(good)) << good;
  for (const char* bad : {"", ".", "..", "abcdefghijklmnop", "eth0;reboot", "eth 0", "eth0\n", "a/b", "eth0:1", "$(id)",
                          "'x'", "\"x\"", "x#y", "x\\y", "`id`", "x|y", "x&y"})
    EXPECT_FALSE(is_device_name(bad)) << bad;
}

TEST(ShaperValues, RatesAreNumbersWithAnOptionalUnitOfTc) {
  for (const char* good : {"100Mbit", "100mbit", "0Mbit", "1.5Gbit", "8000", "512kbit", "10MBps", "2mibit", "1bit"})
    EXPECT_TRUE(is_rate(good)) << good;
  for (const char* bad :
       {"", "Mbit", "100 Mbit", "100Mbit;x", "1.Mbit", ".5Mbit", "100furlongs", "-5Mbit", "100Mbit\n", "1e6", "10%"})
    EXPECT_FALSE(is_rate(bad)) << bad;
}

TEST(ShaperValues, MarksAreDecimalNumbers) {
  for (const char* good : {"0", "10", "4294967295"}) EXPECT_TRUE(is_mark(good)) << good;
  for (const char* bad : {"", "0x10", "10 ", "-1", "12345678901", "1;2"}) EXPECT_FALSE(is_mark(bad)) << bad;
}

TEST(ShaperValues, AddressesAreDottedQuadsThatPassTheLibraryCheck) {
  for (const char* good : {"10.1.1.10", "192.168.0.254", "1.2.3.4"}) EXPECT_TRUE(is_address(good)) << good;
  for (const char* bad :
       {"", "10.1.1", "10.1.1.256", "10.1.1.1/24", "10.1.1.1 ", "10.1.1.1;id", "a.b.c.d", "10.1.1.1.1", "::1"})
    EXPECT_FALSE(is_address(bad)) << bad;
}

TEST(ShaperValues, LoggedValuesCannotForgeLines) {
  EXPECT_EQ(loggable("eth0\nExitCode: 1"), "eth0?ExitCode: 1");
  EXPECT_EQ(loggable(std::string(100, 'x')).size(), 64u);
}
