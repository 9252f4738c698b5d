#include "zarn-auth/credentials.h"

#include <gtest/gtest.h>

namespace {

TEST(Credentials, DecodesGroupsOfCodes) {
  EXPECT_EQ(Decrypt("297298299"), "abc");
  EXPECT_EQ(Decrypt("3300"), ",") << "code 44";
  EXPECT_EQ(Decrypt(""), "");
  EXPECT_EQ(Decrypt("0297"), "a") << "a count of 0 adds nothing and decoding goes on";
  EXPECT_EQ(Decrypt("x297"), "a") << "a stray non-digit counts as 0";
  EXPECT_EQ(Decrypt("3321"), "A") << "only the low 8 bits of 321 count";
  EXPECT_EQ(Decrypt("3000297"), "a") << "a code of 0 adds nothing";
  EXPECT_EQ(Decrypt("29"), "\t") << "a group cut short by the end of the line";
  EXPECT_EQ(Decrypt("397a"), "a") << "the code is the value of the leading digits";
  EXPECT_EQ(Decrypt("3a97"), "") << "no leading digits: code 0";
}

TEST(Credentials, EncodingRoundTrips) {
  for (const std::string& text :
       std::vector<std::string>{"alice", "p@ss word;'\"", "10.1.2.1", std::string("\xff\x01", 2)})
    EXPECT_EQ(Decrypt(Encrypt(text)), text);
  EXPECT_EQ(Encrypt("abc"), "297298299");
}

TEST(Credentials, TextHelpers) {
  EXPECT_EQ(Cint('7'), 7);
  EXPECT_EQ(Cint('x'), 0);
  EXPECT_EQ(Mid("abcdef", 3), "cdef");
  EXPECT_EQ(Mid("abc", 4), "");
  EXPECT_EQ(Left("abc", 2), "ab");
  EXPECT_EQ(Left("abc", 9), "abc");
}

}  // namespace
