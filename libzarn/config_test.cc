#include "libzarn/config.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "libzarn/globals.h"
#include "tests/testing.h"

namespace {

// The settings a scan found, for one test's own key table.
struct Scanned {
  std::optional<std::string> host, user, port_text;
  int port = 0;
};

Scanned scan(const std::string& text) {
  Scanned s;
  const ConfigKey keys[] = {{"host", &s.host}, {"user", &s.user}, {"port", nullptr, &s.port}};
  scan_config(text, keys);
  return s;
}

TEST(ConfigScanner, KeysIgnoreCaseAndBlanksBetweenKeyAndValue) {
  Scanned s = scan("HOST \t  db.example\nUser zarn\nport 3306x\n");
  EXPECT_EQ(s.host, "db.example");
  EXPECT_EQ(s.user, "zarn");
  EXPECT_EQ(s.port, 3306);
  EXPECT_EQ(scan("port none\n").port, 0);
}

TEST(ConfigScanner, CommentsAndRepeatedKeys) {
  Scanned s = scan("# host commented\n\n\nhost a\n#user b\nhost b # not a comment\n");
  EXPECT_EQ(s.host, "b # not a comment") << "a later key wins; # inside a line is text";
  EXPECT_FALSE(s.user);
}

TEST(ConfigScanner, ALineLedByABlankOrTabEndsTheFile) {
  EXPECT_FALSE(scan(" host a\nuser b\n").host);
  EXPECT_FALSE(scan(" host a\nuser b\n").user);
  Scanned s = scan("host a\nuser b\nport 1\n# c\n\tuser late\nhost late\n");
  EXPECT_EQ(s.host, "a");
  EXPECT_EQ(s.user, "b");
  EXPECT_EQ(s.port, 1);
}

TEST(ConfigScanner, KeyWithoutValueJoinsTheNextLine) {
  Scanned s = scan("host\nuser b\n");
  EXPECT_FALSE(s.host);
  EXPECT_FALSE(s.user);
}

TEST(ConfigScanner, CarriageReturnStaysInTheValue) { EXPECT_EQ(scan("host a\r\nuser b\r\n").host, "a\r"); }

TEST(ConfigScanner, OverLongKeysAndValuesAreCutAt64) {
  std::string long_value(200, 'v');
  EXPECT_EQ(scan("host " + long_value + "\nuser u\n").host, std::string(64, 'v'));
  EXPECT_EQ(scan("host " + long_value + "\nuser u\n").user, "u");
  // A key of 64 characters that happens to start with a known key is not it.
  Scanned s = scan("host" + std::string(100, 'x') + " value\nuser u\n");
  EXPECT_FALSE(s.host);
  EXPECT_EQ(s.user, "u");
}

TEST(ConfigScanner, DatabaseKeys) {
  parse_mysql("mysql_host h\nmysql_user u\nmysql_passwd p\nmysql_dbname d\nmysql_sock /s\nmysql_port 3307\n");
  EXPECT_EQ(mysql_host, "h");
  EXPECT_EQ(mysql_user, "u");
  EXPECT_EQ(mysql_passwd, "p");
  EXPECT_EQ(mysql_dbname, "d");
  EXPECT_EQ(mysql_sock, "/s");
  EXPECT_EQ(mysql_cport, 3307);
  mysql_host.reset();
}

TEST(ConfigFiles, ContentsSizesAndExistence) {
  zarn_test::TempDir dir;
  std::string log = dir.file("log");
  extern_error_log = log.c_str();

  zarn_test::write_file(dir.file("conf"), "host a\n");
  EXPECT_EQ(file_get_contents(dir.file("conf").c_str()), "host a\n");
  EXPECT_EQ(get_filesize(dir.file("conf").c_str()), 7);
  EXPECT_EQ(file_exists(dir.file("conf").c_str()), 1);

  zarn_test::write_file(dir.file("empty"), "");
  EXPECT_FALSE(file_get_contents(dir.file("empty").c_str()));
  EXPECT_FALSE(file_get_contents(dir.file("missing").c_str()));
  EXPECT_EQ(get_filesize(dir.file("missing").c_str()), -1);
  EXPECT_EQ(file_exists(dir.file("missing").c_str()), 0);
  EXPECT_FALSE(zarn_test::path_exists(log)) << "missing and empty files are not logged";

  // A path that opens but cannot be read gives nothing and says why.
  EXPECT_FALSE(file_get_contents(dir.path().c_str()));
  EXPECT_EQ(zarn_test::read_file(log), "Couldn't read " + dir.path() + ": Is a directory\n");
  extern_error_log = nullptr;
}

}  // namespace
