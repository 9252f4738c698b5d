#include "tools/zarn_passwd_form.h"

#include <gtest/gtest.h>

namespace {

TEST(StoredPassword, MatchesTheKnownCipherTexts) {
  EXPECT_EQ(stored_password_hex("routerkey", "abcde"), "48730e77e7766655");
  EXPECT_EQ(stored_password_hex("routerkey", "abcdefgh"), "6592a29ddd2f0b6f");
  EXPECT_FALSE(stored_password_hex(std::string(25, 'k'), "abcde")) << "a key over 24 characters is refused";
}

TEST(StoredPassword, StopsAtTheFirstZeroByteLikeTheDaemons) {
  // Any password whose cipher text holds a zero byte is stored cut there.
  for (int i = 0; i < 5000; ++i) {
    std::string password = "p" + std::to_string(i);
    std::string hex = *stored_password_hex("routerkey", password);
    for (size_t at = 0; at + 1 < hex.size(); at += 2) ASSERT_NE(hex.substr(at, 2), "00") << password;
    if (hex.size() < 16) return;  // found one that was cut: the property held for it
  }
  FAIL() << "no password among 5000 had a zero byte in its cipher text";
}

}  // namespace
