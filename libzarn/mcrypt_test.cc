#include "libzarn/mcrypt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "libzarn/globals.h"

#ifndef ZARN_TEST_DATA
#error "ZARN_TEST_DATA must name the test data directory"
#endif

namespace {

constexpr const char* kCipher = "tripledes";
constexpr const char* kMode = "ecb";

// Points the program's log at a private file for one test and puts the old
// setting back afterwards.
class LogCapture {
 public:
  LogCapture() : saved_(extern_error_log) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zarn-mcrypt-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      dir_ = pattern;
      path_ = dir_ + "/error.log";
      extern_error_log = path_.c_str();
    }
  }
  ~LogCapture() {
    extern_error_log = saved_;
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return !dir_.empty(); }
  // Everything logged so far (empty when nothing was, the file then absent).
  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  const char* saved_;
  std::string dir_;
  std::string path_;
};

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

std::string encrypt(const std::string& key, const std::string& text, int iv_source = kIvUrandom) {
  return mcrypt_encrypt(kCipher, key.c_str(), text.c_str(), kMode, iv_source).value_or("<none>");
}

// One row of the known-answer file.
struct KnownAnswer {
  int line;
  std::string key;
  std::string text;
  std::string hex;
};

std::vector<KnownAnswer> read_known_answers() {
  std::vector<KnownAnswer> rows;
  std::ifstream in(ZARN_TEST_DATA "/tripledes-ecb.tsv");
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    size_t first = line.find('\t');
    size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos) {
      ADD_FAILURE() << "line " << number << " has fewer than three columns: " << line;
      continue;
    }
    rows.push_back(
        {number, line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
  }
  return rows;
}

TEST(Mcrypt, KnownAnswers) {
  const std::vector<KnownAnswer> rows = read_known_answers();
  ASSERT_FALSE(rows.empty()) << "no rows read from " ZARN_TEST_DATA "/tripledes-ecb.tsv";
  for (const KnownAnswer& row : rows) {
    SCOPED_TRACE("tripledes-ecb.tsv line " + std::to_string(row.line));
    std::optional<std::string> cipher = mcrypt_encrypt(kCipher, row.key.c_str(), row.text.c_str(), kMode, kIvRand);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(hex(*cipher), row.hex);
  }
}

TEST(Mcrypt, DecryptReversesEncrypt) {
  // Deciphering gives the text with its zero padding. The cipher text goes in
  // as a C string, so only rows whose cipher bytes hold no zero byte qualify.
  int checked = 0;
  for (const KnownAnswer& row : read_known_answers()) {
    SCOPED_TRACE("tripledes-ecb.tsv line " + std::to_string(row.line));
    std::string cipher = encrypt(row.key, row.text);
    if (cipher.find('\0') != std::string::npos) continue;
    std::optional<std::string> plain = mcrypt_decrypt(kCipher, row.key.c_str(), cipher.c_str(), kMode, kIvUrandom);
    ASSERT_TRUE(plain.has_value());
    std::string padded = row.text;
    padded.resize(cipher.size(), '\0');
    EXPECT_EQ(hex(*plain), hex(padded));
    ++checked;
  }
  EXPECT_GE(checked, 3) << "too few round trips possible";

  std::string cipher = encrypt("operator-key", "subscriber password 42");
  ASSERT_EQ(cipher.find('\0'), std::string::npos);
  std::optional<std::string> plain = mcrypt_do_crypt(kCipher, "operator-key", cipher.c_str(), kMode, kIvRand, 1);
  ASSERT_TRUE(plain.has_value());
  EXPECT_STREQ(plain->c_str(), "subscriber password 42");
}

TEST(Mcrypt, TextIsPaddedToWholeBlocks) {
  // text length -> cipher length
  const std::pair<size_t, size_t> cases[] = {{0, 8}, {1, 8}, {5, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 24}};
  for (auto [length, expected] : cases)
    EXPECT_EQ(encrypt("routerkey", std::string(length, 'p')).size(), expected) << "text of " << length;
}

TEST(Mcrypt, EmptyTextIsOneBlockOfZeroBytes) {
  std::string cipher = encrypt("k", "");
  ASSERT_EQ(cipher.size(), 8u);
  ASSERT_EQ(cipher.find('\0'), std::string::npos);
  std::optional<std::string> plain = mcrypt_decrypt(kCipher, "k", cipher.c_str(), kMode, kIvRand);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(hex(*plain), "0000000000000000");
}

TEST(Mcrypt, EveryVectorSourceGivesTheSameBytes) {
  // From the known-answer file.
  const std::string expected = "6592a29ddd2f0b6f507a71d6c97c4a1a";
  for (int source : std::initializer_list<int>{kIvRandom, kIvUrandom, kIvRand, 7})
    EXPECT_EQ(hex(encrypt("routerkey", "abcdefghi", source)), expected) << "source " << source;
}

TEST(Mcrypt, KeyOf24IsTakenAndKeyOf25Refused) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  const std::string key24 = "0123456789abcdefghijklmn";
  EXPECT_EQ(hex(encrypt(key24, "s3cr3t-Pass")), "67f4fc105491a5576d48f386ae38a1ff");
  EXPECT_EQ(log.text(), "");

  EXPECT_EQ(mcrypt_encrypt(kCipher, (key24 + "o").c_str(), "s3cr3t-Pass", kMode, kIvRand), std::nullopt);
  EXPECT_EQ(log.text(), "Error Mcrypt: Size of key is too large for this algorithm.\n");
  EXPECT_EQ(mcrypt_decrypt(kCipher, std::string(40, 'k').c_str(), "whatever", kMode, kIvRand), std::nullopt);
  EXPECT_EQ(log.text(),
            "Error Mcrypt: Size of key is too large for this algorithm.\n"
            "Error Mcrypt: Size of key is too large for this algorithm.\n");
}

TEST(Mcrypt, UnknownCipherOrModeGivesNothingSilently) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(mcrypt_get_iv_size(kCipher, kMode), 8);
  EXPECT_EQ(mcrypt_get_iv_size("rot13", kMode), 0);
  EXPECT_EQ(mcrypt_get_iv_size(kCipher, "sideways"), 0);
  EXPECT_EQ(mcrypt_encrypt("rot13", "key", "text", kMode, kIvRand), std::nullopt);
  EXPECT_EQ(mcrypt_encrypt(kCipher, "key", "text", "sideways", kIvRand), std::nullopt);
  EXPECT_EQ(mcrypt_decrypt("", "key", "text", kMode, kIvRand), std::nullopt);
  EXPECT_EQ(mcrypt_encrypt(nullptr, "key", "text", nullptr, kIvRand), std::nullopt);
  EXPECT_EQ(log.text(), "");
}

TEST(McryptCreateIv, DevicesGiveTheRequestedSize) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  for (int source : std::initializer_list<int>{kIvRandom, kIvUrandom}) {
    std::optional<std::string> iv = mcrypt_create_iv(32, source);
    ASSERT_TRUE(iv.has_value()) << "source " << source;
    EXPECT_EQ(iv->size(), 32u) << "source " << source;
    EXPECT_NE(*iv, std::string(32, '\0')) << "source " << source << " gave only zero bytes";
  }
  EXPECT_EQ(mcrypt_create_iv(0, kIvUrandom), std::optional<std::string>(""));
  EXPECT_EQ(mcrypt_create_iv(-1, kIvUrandom), std::nullopt);
  EXPECT_EQ(log.text(), "");
}

TEST(McryptCreateIv, RandSourceFillsFromTheLastByteWithoutReseeding) {
  srand(4242);
  std::vector<int> draws;
  for (int i = 0; i < 6; ++i) draws.push_back(rand());
  srand(4242);
  std::optional<std::string> iv = mcrypt_create_iv(6, kIvRand);
  ASSERT_TRUE(iv.has_value());
  ASSERT_EQ(iv->size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    // The first draw lands in the last byte.
    const int expected = static_cast<int>(255LL * draws[5 - i] / 2147483647);
    EXPECT_EQ(static_cast<unsigned char>((*iv)[i]), expected) << "byte " << i;
  }
}

}  // namespace
