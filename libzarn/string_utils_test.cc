#include "libzarn/string_utils.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Pieces = std::vector<std::string>;

// A fresh directory for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zarn-su-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// One address and whether a check should accept it.
struct AddressCase {
  const char* text;
  int expected;
};

TEST(AddressChecks, HostAddressIsCanonicalAndLimitsTheFirstNumberTo254) {
  // inet_aton reads a leading zero as octal, sscanf and tc as decimal: only
  // one text per address is taken.
  const AddressCase cases[] = {
      {"10.0.0.1", 1},  {"010.000.000.001", 0}, {"10.1.1.010", 0},   {"010.1.1.1", 0}, {"10.01.1.1", 0},
      {"10.1.00.1", 0}, {"10.0.0.100", 1},      {"100.200.10.0", 1}, {"1.2.3.255", 1}, {"254.255.255.255", 1},
      {"0.0.0.0", 1},   {"255.1.1.1", 0},       {"1.2.3", 0},        {"1.2.3.4.5", 0}, {"1.2.3.256", 0},
      {"1.2.3.4 ", 0},  {" 1.2.3.4", 0},        {"1.2.3.4x", 0},     {"1..3.4", 0},    {"a.b.c.d", 0},
      {"", 0},          {"1.2.3.-4", 0},
  };
  for (const AddressCase& c : cases)
    EXPECT_EQ(check_ipv4_address(c.text), c.expected) << "address \"" << c.text << "\"";
}

TEST(AddressChecks, MaskBroadcastAndNetworkAllowEveryNumberUpTo255) {
  const AddressCase cases[] = {
      {"255.255.255.0", 1},   {"255.255.255.255", 1},  {"0.0.0.0", 1},   {"192.168.10.0", 1},
      {"192.168.001.000", 0}, {"192.168.1.00", 0},     {"256.0.0.0", 0}, {"255.255.255", 0},
      {"255.255.255.0.0", 0}, {"255.255.255.0/24", 0}, {"", 0},
  };
  for (const AddressCase& c : cases) {
    EXPECT_EQ(check_ipv4_netmask(c.text), c.expected) << "netmask \"" << c.text << "\"";
    EXPECT_EQ(check_ipv4_broadcast(c.text), c.expected) << "broadcast \"" << c.text << "\"";
    EXPECT_EQ(check_ipv4_network(c.text), c.expected) << "network \"" << c.text << "\"";
  }
}

TEST(AddressChecks, MacTakesEitherCaseOptionalColonsAndTrailingText) {
  const AddressCase cases[] = {
      {"00:1a:2B:3c:4D:5e", 1},
      {"001A2B3C4D5E", 1},
      {"00:1A:2B:3C:4D:5E", 1},
      {"00:1A:2B:3C:4D:5E followed by anything", 1},
      {"001A:2B3C:4D5E", 1},
      {"00-1A-2B-3C-4D-5E", 0},
      {"00:1A:2B:3C:4D", 0},
      {"00::1A:2B:3C:4D:5E", 0},
      {"G0:1A:2B:3C:4D:5E", 0},
      {" 00:1A:2B:3C:4D:5E", 0},
      {"", 0},
  };
  for (const AddressCase& c : cases) EXPECT_EQ(check_mac(c.text), c.expected) << "MAC \"" << c.text << "\"";
}

TEST(PregMatch, MatchesWithoutRegardToCaseAndReportsBadPatterns) {
  EXPECT_EQ(preg_match("^abc$", "ABC"), 1);
  EXPECT_EQ(preg_match("^a(b|c)+$", "abcbc"), 1);  // extended syntax
  EXPECT_EQ(preg_match("^abc$", "abcd"), 0);
  // Minus the library's error code.
  EXPECT_EQ(preg_match("(abc", "abc"), -REG_EPAREN);
  EXPECT_EQ(preg_match("a{2,1}", "aa"), -REG_BADBR);
}

TEST(SplitStr, EveryCutGivesAPiece) {
  EXPECT_EQ(splitStr("a  b", " "), (Pieces{"a", "", "b"}));
  EXPECT_EQ(splitStr("", " "), (Pieces{""}));
  EXPECT_EQ(splitStr("a b ", " "), (Pieces{"a", "b", ""}));
  EXPECT_EQ(splitStr(" ", " "), (Pieces{"", ""}));
  EXPECT_EQ(splitStr("one", " "), (Pieces{"one"}));
}

TEST(SplitStr, LineFeedsCutAndOnlyTheFirstSeparatorCharacterCounts) {
  EXPECT_EQ(splitStr("client activate\n17", " "), (Pieces{"client", "activate", "17"}));
  EXPECT_EQ(splitStr("a;b,c", ",;"), (Pieces{"a;b", "c"}));
  EXPECT_EQ(splitStr("a\r\n", " "), (Pieces{"a\r", ""}));
  EXPECT_EQ(splitStr("a b\nc", ""), (Pieces{"a b", "c"}));
}

TEST(GetArgv, LeavesSlotZeroForTheProgramName) {
  Pieces two = get_argv("internet start");
  EXPECT_EQ(two, (Pieces{"", "internet", "start"}));
  EXPECT_EQ(two.size(), 3u);
  EXPECT_EQ(get_argv("internet client_start 17"), (Pieces{"", "internet", "client_start", "17"}));
  EXPECT_EQ(get_argv("single"), (Pieces{"", "single"}));
}

TEST(Trim, RemovesTheCharacterEverywhere) {
  EXPECT_EQ(trim(" a b  c ", " "), "abc");
  EXPECT_EQ(trim("a,b;c", ",;"), "ab;c");
  EXPECT_EQ(trim("nothing", " "), "nothing");
  EXPECT_EQ(trim("   ", " "), "");
  EXPECT_EQ(trim("keep", ""), "keep");
}

TEST(StrReplace, ReplacesEveryOccurrence) {
  EXPECT_EQ(str_replace("no line feed here", "\n", ""), "no line feed here");
  EXPECT_EQ(str_replace("a\nb\n\nc\n", "\n", ""), "abc");
  EXPECT_EQ(str_replace("x--y--z--", "--", "+"), "x+y+z+");
  EXPECT_EQ(str_replace("x--y", "--", "<long>"), "x<long>y");
  EXPECT_EQ(str_replace("unchanged", "", "x"), "unchanged");
  EXPECT_EQ(str_replace("", "a", "b"), "");
}

TEST(StrReplace, SearchesAgainUntilNoOccurrenceIsLeft) {
  // Removing "ab" from "aabb" leaves a new "ab" where the pieces meet.
  EXPECT_EQ(str_replace("aabb", "ab", ""), "");
  EXPECT_EQ(str_replace("aaab", "ab", "b"), "b");
  EXPECT_EQ(str_replace("xaabbyab", "ab", ""), "xy");
}

TEST(StrReplace, EndsWhenTheReplacementHoldsTheSearchedText) {
  EXPECT_EQ(str_replace("a.b.c", ".", ".."), "a..b..c");
  EXPECT_EQ(str_replace("ab", "ab", "xabx"), "xabx");
}

// Without a database connection (the escaping with one is tested against
// the server): quotes doubled, backslashes escaped, safe in either server mode.
TEST(SqlEscaping, SlashThisWithoutAConnectionDoublesQuotesAndBackslashes) {
  EXPECT_EQ(slash_this("'"), "''");
  EXPECT_EQ(slash_this("\\"), "\\\\");
  EXPECT_EQ(slash_this("\\'"), "\\\\''");
  EXPECT_EQ(slash_this("x' OR '1'='1"), "x'' OR ''1''=''1");
  EXPECT_EQ(slash_this("\"`"), "\"`") << "harmless between single quotes";
  EXPECT_EQ(slash_this("plain text; 100%"), "plain text; 100%");
  EXPECT_EQ(slash_this(""), "");
}

TEST(SqlEscaping, AddSlashesLeavesTheDoubleQuote) {
  EXPECT_EQ(add_slashes("\""), "\"");
  EXPECT_EQ(add_slashes("'"), "\\'");
  EXPECT_EQ(add_slashes("\\"), "\\\\");
  EXPECT_EQ(add_slashes("`"), "\\`");
  EXPECT_EQ(add_slashes("a\"b'c"), "a\"b\\'c");
  EXPECT_EQ(add_slashes(""), "");
}

TEST(GenRand, SeedsWithSecondsPlusMicroseconds) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  const int drawn = gen_rand();
  gettimeofday(&after, nullptr);
  // The seed was the sum for some instant between the two readings.
  const long long first = before.tv_sec * 1000000LL + before.tv_usec;
  const long long last = after.tv_sec * 1000000LL + after.tv_usec;
  bool found = false;
  for (long long t = first; t <= last && t - first < 1000000 && !found; ++t) {
    srand(static_cast<unsigned>(t / 1000000 + t % 1000000));
    found = rand() == drawn;
  }
  EXPECT_TRUE(found) << "no seed between " << first << " and " << last << " microseconds gives " << drawn;
}

TEST(Md5, KnownDigests) {
  // RFC 1321 appendix A.5.
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(md5string("%s", ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5string("a%sc", "b"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5string("message %s", "digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5string("%d%d%d", 1, 2, 3), md5_hex("123"));
}

TEST(Md5, StringDigestsAtMost4095Characters) {
  const std::string exact(4095, 'q');
  const std::string over = exact + "r";
  EXPECT_EQ(md5string("%s", exact.c_str()), md5_hex(exact));
  EXPECT_EQ(md5string("%s", over.c_str()), md5_hex(exact));
  EXPECT_NE(md5string("%s", over.c_str()), md5_hex(over));
  EXPECT_EQ(md5string("%s", (exact + "more and more").c_str()), md5_hex(exact));
}

TEST(Md5, FileDigests) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  write_file(dir.file("abc"), "abc");
  EXPECT_EQ(md5file(dir.file("abc").c_str()), std::optional<std::string>("900150983cd24fb0d6963f7d28e17f72"));

  write_file(dir.file("empty"), "");
  EXPECT_EQ(md5file(dir.file("empty").c_str()), std::optional<std::string>("d41d8cd98f00b204e9800998ecf8427e"));

  // Several read blocks, the last one partial, with zero bytes inside.
  std::string big;
  for (int i = 0; i < 10000; ++i) big.push_back(static_cast<char>(i * 7));
  write_file(dir.file("big"), big);
  EXPECT_EQ(md5file(dir.file("big").c_str()), std::optional<std::string>(md5_hex(big)));
}

TEST(Md5, FileThatCannotBeReadGivesNothing) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  EXPECT_EQ(md5file(dir.file("missing").c_str()), std::nullopt);
  // A directory opens but cannot be read; no digest of "nothing read".
  EXPECT_EQ(md5file(dir.path().c_str()), std::nullopt);
}

}  // namespace
