#include "session-reaper/session_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "libzarn/fd.h"
#include "session-reaper/session_read.h"
#include "session-reaper/settings.h"
#include "tests/testing.h"

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

TEST(SessionFile, TheMacReachesTheAccessModuleWithColons) {
  EXPECT_EQ(session_mac("00:1a:2B:3c:4D:5e"), "00:1a:2B:3c:4D:5e");
  EXPECT_EQ(session_mac("001A2B3C4D5E"), "00:1A:2B:3C:4D:5E");
  EXPECT_EQ(session_mac("00:11:22:33:44:55\r"), "00:11:22:33:44:55") << "a CR LF file";
  EXPECT_EQ(session_mac("00:11:22:33:44:55 "), std::nullopt);
  EXPECT_EQ(session_mac("00:11:22:33:44:55:66"), std::nullopt);
  EXPECT_EQ(session_mac("00-11-22-33-44-55"), std::nullopt);
  EXPECT_EQ(session_mac("00:11:22:33:44"), std::nullopt);
  EXPECT_EQ(session_mac("00::11:22:33:44:55"), std::nullopt);
  EXPECT_FALSE(session_fields_valid(parse_session_file("sid;42;00:11:22:33:44:55 trailing")));
  EXPECT_TRUE(session_fields_valid(parse_session_file("sid;42;00:11:22:33:44:55\r\n")));
}

// A session directory with one entry of each kind the account zarn can make.
class SessionReadTest : public testing::Test {
 protected:
  SessionReadTest() : dir_fd_(open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY)) {}
  SessionFileRead read(const std::string& name) { return read_session_file(dir_fd_.fd, name); }
  zarn_test::TempDir dir_;
  FdOwner dir_fd_;
};

TEST_F(SessionReadTest, ARegularFileIsRead) {
  zarn_test::write_file(dir_.file("10.1.2.3"), "sid;42;00:11:22:33:44:55\n");
  SessionFileRead r = read("10.1.2.3");
  EXPECT_TRUE(r.regular);
  EXPECT_EQ(r.content, "sid;42;00:11:22:33:44:55\n");
  zarn_test::write_file(dir_.file("empty"), "");
  EXPECT_TRUE(read("empty").regular);
  EXPECT_EQ(read("empty").content, std::nullopt);
}

TEST_F(SessionReadTest, LinksFifosAndHugeFilesAreNotRead) {
  std::string secret = dir_.file("secret");
  zarn_test::write_file(secret, "root;1;00:11:22:33:44:55");
  ASSERT_EQ(symlink(secret.c_str(), dir_.file("10.0.0.1").c_str()), 0);
  EXPECT_FALSE(read("10.0.0.1").regular);
  EXPECT_EQ(read("10.0.0.1").content, std::nullopt);

  ASSERT_EQ(mkfifo(dir_.file("10.0.0.2").c_str(), 0666), 0);
  EXPECT_FALSE(read("10.0.0.2").regular) << "returned at once, without a writer";

  zarn_test::write_file(dir_.file("10.0.0.3"), std::string(kSessionFileMax + 1, 'x'));
  EXPECT_TRUE(read("10.0.0.3").regular);
  EXPECT_EQ(read("10.0.0.3").content, std::nullopt);
  zarn_test::write_file(dir_.file("10.0.0.4"), std::string(kSessionFileMax, 'x'));
  EXPECT_EQ(read("10.0.0.4").content->size(), kSessionFileMax);
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
