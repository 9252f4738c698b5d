#include "session-reaper/session_file.h"

#include <gtest/gtest.h>

#include "session-reaper/settings.h"

namespace {

TEST(SessionFile, FieldsWithAndWithoutFinalLineFeed) {
  for (const char* content : {"sid;42;00:11:22:33:44:55", "sid;42;00:11:22:33:44:55\n"}) {
    SessionFields f = parse_session_file(content);
    EXPECT_EQ(f.session, "sid");
    EXPECT_EQ(f.client_id, "42");
    EXPECT_EQ(f.mac, "00:11:22:33:44:55");
    EXPECT_TRUE(session_fields_valid(f)) << content;
  }
}

TEST(SessionFile, ContentThatCannotCloseALogin) {
  EXPECT_FALSE(session_fields_valid(parse_session_file("sid;0;00:11:22:33:44:55")));
  EXPECT_FALSE(session_fields_valid(parse_session_file("sid;abc;00:11:22:33:44:55")));
  EXPECT_FALSE(session_fields_valid(parse_session_file("sid;42;not-a-mac")));
  EXPECT_FALSE(session_fields_valid(parse_session_file("sid;42")));
  SessionFields empty = parse_session_file("");
  EXPECT_FALSE(session_fields_valid(empty));
  EXPECT_EQ(empty.session + empty.client_id + empty.mac, "");
}

TEST(SessionFile, ASessionExactlyAsOldAsTheLimitIsKept) {
  const time_t now = 1'000'000;
  EXPECT_FALSE(session_expired(now - 61, now, 61));
  EXPECT_TRUE(session_expired(now - 62, now, 61));
  EXPECT_FALSE(session_expired(now, now, 61));
}

TEST(ReaperSettings, Limits) {
  auto valid = [](const char* text) { return settings_valid(parse_reaper_settings(text)); };
  EXPECT_TRUE(valid("session_dir /s\nexpiration_time 61\nverify_interval 11\n"));
  EXPECT_FALSE(valid("session_dir /s\nexpiration_time 60\nverify_interval 11\n"));
  EXPECT_FALSE(valid("session_dir /s\nexpiration_time 61\nverify_interval 10\n"));
  EXPECT_FALSE(valid("expiration_time 61\nverify_interval 11\n"));
  EXPECT_FALSE(valid("session_dir /s\nverify_interval 11\n"));
  EXPECT_TRUE(valid("SESSION_DIR /s\nExpiration_Time 600\nverify_interval 30\n"));
}

}  // namespace
