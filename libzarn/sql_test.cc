#include "libzarn/sql.h"

#include <gtest/gtest.h>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/string_utils.h"
#include "tests/testing.h"

namespace {

using zarn_test::read_file;

// A database of its own, a configuration file that reaches it, and a log.
class SqlTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_settings();
    conf_path_ = dir_.file("router.conf");
    log_path_ = dir_.file("test.log");
    zarn_test::write_file(conf_path_, "listenport 1\n" + db_.config_lines());
    conf_file = conf_path_.c_str();
    extern_error_log = log_path_.c_str();
    db_.exec("INSERT INTO internet_clients (id) VALUES (1), (2), (3)");
  }
  void TearDown() override {
    conf_file = nullptr;
    extern_error_log = nullptr;
    reset_settings();
  }
  static void reset_settings() {
    for (auto* s : {&mysql_host, &mysql_user, &mysql_passwd, &mysql_dbname, &mysql_sock}) s->reset();
    mysql_cport = 0;
  }
  std::string log() { return read_file(log_path_); }

  zarn_test::TempDir dir_;
  zarn_test::TestDatabase db_;
  std::string conf_path_, log_path_;
};

TEST_F(SqlTest, SelectGivesRowsAndStatementsWithoutRowsGiveNothing) {
  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr) << log();
  SqlResult rows = sql_query(c, "SELECT id FROM internet_clients WHERE id > %d ORDER BY id", 1);
  ASSERT_TRUE(rows);
  EXPECT_EQ(sql_num_rows(rows.get()), 2u);
  EXPECT_STREQ(mysql_fetch_row(rows.get())[0], "2");

  EXPECT_FALSE(sql_query(c, "UPDATE internet_clients SET id = id + 10 WHERE id = 3"));
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_clients WHERE id = 13")[0][0], "1");
  EXPECT_FALSE(sql_query(c, "SELECT nothing FROM no_such_table"));
  EXPECT_EQ(log(), "MYSQL Error: Error('Table '" + db_.name() +
                       ".no_such_table' doesn't exist')\n"
                       "MYSQL Error: Query('SELECT nothing FROM no_such_table')\n"
                       "MYSQL Default Error: Table '" +
                       db_.name() + ".no_such_table' doesn't exist code: 1146\n");
  sql_close(c);
}

// The value a query gives back for `text` placed between single quotes.
std::string round_trip(MYSQL* c, const std::string& text) {
  SqlResult r = sql_query(c, "SELECT '%s'", slash_this(text).c_str());
  if (!r) return "(no result)";
  MYSQL_ROW row = mysql_fetch_row(r.get());
  return row && row[0] ? row[0] : "(null)";
}

const std::vector<std::string> kHostileValues = {"x' OR '1'='1", "a\\b", "\\", "\\'", "it's \"q\" `b`", "''", "\n"};

TEST_F(SqlTest, EscapedValuesStayInsideTheirQuotesWithBackslashEscapesOnOrOff) {
  mysql_r = sql_connect();
  ASSERT_NE(mysql_r, nullptr) << log();
  for (const std::string& v : kHostileValues) EXPECT_EQ(round_trip(mysql_r, v), v);
  sql_query(mysql_r, "SET SESSION sql_mode='NO_BACKSLASH_ESCAPES'");
  for (const std::string& v : kHostileValues) EXPECT_EQ(round_trip(mysql_r, v), v) << "NO_BACKSLASH_ESCAPES";
  SqlResult n =
      sql_query(mysql_r, "SELECT COUNT(*) FROM internet_clients WHERE id = '%s'", slash_this("x' OR '1'='1").c_str());
  ASSERT_TRUE(n) << log();
  EXPECT_STREQ(mysql_fetch_row(n.get())[0], "0");
  sql_close(mysql_r);
  mysql_r = nullptr;
}

TEST_F(SqlTest, ADaemonsOwnConnectionEscapesWhenThereIsNoSharedOne) {
  ASSERT_EQ(mysql_r, nullptr);
  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr) << log();
  sql_query(c, "SET SESSION sql_mode='NO_BACKSLASH_ESCAPES'");
  for (const std::string& v : kHostileValues) EXPECT_EQ(round_trip(c, v), v);
  sql_close(c);
  EXPECT_EQ(slash_this("it's"), "it''s") << "no connection left: quotes doubled";
}

TEST_F(SqlTest, TheConnectionsCharacterSetIsNamedAndEscapingFollowsIt) {
  mysql_r = sql_connect();
  ASSERT_NE(mysql_r, nullptr) << log();
  EXPECT_STREQ(mysql_character_set_name(mysql_r), kConnectionCharset);
  SqlResult set = sql_query(mysql_r, "SELECT @@character_set_client, @@character_set_connection");
  ASSERT_TRUE(set);
  MYSQL_ROW row = mysql_fetch_row(set.get());
  EXPECT_STREQ(row[0], kConnectionCharset);
  EXPECT_STREQ(row[1], kConnectionCharset);

  // In a multi-byte set where 0xbf 0x5c is one character, a backslash put
  // blindly before the quote of 0xbf 0x27 would join that byte and free the quote.
  ASSERT_EQ(mysql_set_character_set(mysql_r, "gbk"), 0) << mysql_error(mysql_r);
  SqlResult n = sql_query(mysql_r, "SELECT COUNT(*) FROM internet_clients WHERE id = '%s'",
                          slash_this("\xbf' OR 1=1 -- ").c_str());
  ASSERT_TRUE(n) << log();
  EXPECT_STREQ(mysql_fetch_row(n.get())[0], "0");
  sql_close(mysql_r);
  mysql_r = nullptr;
}

TEST_F(SqlTest, ASyntaxErrorIsLoggedOnceAndNotRepeated) {
  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(sql_query(c, "SELEC 1 LIKE '%%x'"));
  std::string l = log();
  EXPECT_NE(l.find("MYSQL Error: Query('SELEC 1 LIKE '%x'')\n"), std::string::npos) << l;
  EXPECT_NE(l.find("code: 1064\n"), std::string::npos) << l;
  EXPECT_EQ(l.find("MYSQL Error: Query", l.find("MYSQL Error: Query") + 1), std::string::npos) << "not repeated";
  sql_close(c);
}

TEST_F(SqlTest, AConnectionKilledByTheServerIsRepairedInPlace) {
  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr);
  auto others = db_.other_connection_ids();
  ASSERT_EQ(others.size(), 1u);
  db_.exec("KILL " + std::to_string(others[0]));

  SqlResult rows = sql_query(c, "SELECT COUNT(*) FROM internet_clients");
  ASSERT_TRUE(rows) << log();
  EXPECT_STREQ(mysql_fetch_row(rows.get())[0], "3");
  std::string l = log();
  EXPECT_NE(l.find("MYSQL Error: Query('SELECT COUNT(*) FROM internet_clients')\n"), std::string::npos) << l;
  EXPECT_NE(l.find("Reconnect after error Ok.\n"), std::string::npos) << l;
  sql_close(c);
}

// Many updates to a round trip: every good one lands, a refused one is
// logged once and does not take the ones after it in its send with it, and
// afterwards a statement with ";" is one statement again.
TEST_F(SqlTest, UpdatesSentTogetherAllLandAndARefusedOneLosesNoOther) {
  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr) << log();
  std::vector<std::string> updates;
  for (int id = 100; id < 160; ++id)
    updates.push_back("INSERT INTO internet_clients (id, remote) VALUES (" + std::to_string(id) + ", 7)");
  updates[25] = "UPDATE no_such_table SET x = 1";
  sql_execute_all(c, updates, 20);
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_clients WHERE remote = 7")[0][0], "59");
  std::string l = log();
  EXPECT_NE(l.find("MYSQL Error: Query('UPDATE no_such_table SET x = 1')\n"), std::string::npos) << l;
  EXPECT_EQ(l.find("MYSQL Error: Query", l.find("MYSQL Error: Query") + 1), std::string::npos) << l;

  EXPECT_FALSE(sql_query(c, "UPDATE internet_clients SET remote = 8 WHERE id = 100; DELETE FROM internet_clients"));
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_clients")[0][0], "62");
  // Also when the refused one is in the last send.
  sql_execute_all(c, {"UPDATE internet_clients SET remote = 9 WHERE id = 1", "UPDATE no_such_table SET x = 1"}, 20);
  EXPECT_EQ(db_.query("SELECT remote FROM internet_clients WHERE id = 1")[0][0], "9");
  EXPECT_FALSE(sql_query(c, "UPDATE internet_clients SET remote = 8 WHERE id = 100; DELETE FROM internet_clients"));
  EXPECT_EQ(db_.query("SELECT COUNT(*) FROM internet_clients")[0][0], "62");
  sql_close(c);
}

TEST_F(SqlTest, ANullConnectionOpensOneForTheQuery) {
  SqlResult rows = sql_query(nullptr, "SELECT id FROM internet_clients");
  ASSERT_TRUE(rows);
  EXPECT_EQ(sql_num_rows(rows.get()), 3u);
  EXPECT_EQ(log(), "MYSQL Error: No mysql connection, mysql pointer is null\n");
}

TEST_F(SqlTest, AConfigurationWithoutAHostFailsEveryTimeItIsRead) {
  zarn_test::write_file(conf_path_, "mysql_user zarn_test\nmysql_dbname x\n");
  EXPECT_EQ(sql_connect(), nullptr);
  zarn_test::write_file(conf_path_, "mysql_user zarn_test\nmysql_dbname y\n");
  EXPECT_EQ(sql_connect(), nullptr);
  const std::string line = "Could not read config file or mysql_host((null)) is missing\n";
  EXPECT_EQ(log(), line + line);

  zarn_test::write_file(conf_path_, "");
  EXPECT_EQ(sql_connect(), nullptr);
  EXPECT_EQ(log(), line + line + "Could not read config file.\n");
}

TEST_F(SqlTest, AFailedConnectionSaysWhereItWent) {
  zarn_test::write_file(conf_path_, "mysql_host localhost\nmysql_user nobody_here\nmysql_dbname d\nmysql_sock " +
                                        zarn_test::db_socket() + "\n");
  EXPECT_EQ(sql_connect(), nullptr);
  std::string l = log();
  EXPECT_EQ(l.rfind("Connection failed for host: localhost db: d\nError: Access denied for user 'nobody_here'", 0), 0u)
      << l;
}

TEST_F(SqlTest, AnOverlappedConnectionRunsTheWorkOnceAndBehavesAsAnyOther) {
  int runs = 0;
  MYSQL* c = sql_connect_overlapped([&] { ++runs; });
  ASSERT_NE(c, nullptr) << log();
  EXPECT_EQ(runs, 1);
  SqlResult rows = sql_query(c, "SELECT id FROM internet_clients ORDER BY id");
  ASSERT_TRUE(rows);
  EXPECT_EQ(sql_num_rows(rows.get()), 3u);

  // Killed by the server, it is repaired in place like a blocking one.
  auto others = db_.other_connection_ids();
  ASSERT_EQ(others.size(), 1u);
  db_.exec("KILL " + std::to_string(others[0]));
  rows = sql_query(c, "SELECT COUNT(*) FROM internet_clients");
  ASSERT_TRUE(rows) << log();
  EXPECT_STREQ(mysql_fetch_row(rows.get())[0], "3");
  EXPECT_NE(log().find("Reconnect after error Ok.\n"), std::string::npos) << log();
  sql_close(c);
  EXPECT_EQ(runs, 1);
}

TEST_F(SqlTest, AFailedOverlappedConnectionStillRunsTheWorkAndSaysWhereItWent) {
  zarn_test::write_file(conf_path_, "mysql_host localhost\nmysql_user nobody_here\nmysql_dbname d\nmysql_sock " +
                                        zarn_test::db_socket() + "\n");
  int runs = 0;
  EXPECT_EQ(sql_connect_overlapped([&] { ++runs; }), nullptr);
  EXPECT_EQ(runs, 1);
  std::string l = log();
  EXPECT_EQ(l.rfind("Connection failed for host: localhost db: d\nError: Access denied for user 'nobody_here'", 0), 0u)
      << l;

  reset_settings();
  zarn_test::write_file(conf_path_,
                        "mysql_host localhost\nmysql_user zarn_test\nmysql_sock " + dir_.file("none") + "\n");
  EXPECT_EQ(sql_connect_overlapped([&] { ++runs; }), nullptr);
  EXPECT_EQ(runs, 2) << "a socket that is not there";
}

// A server of its own, so that restarting it disturbs no other test.
TEST(SqlRestart, AConnectionLostToAServerRestartIsRepaired) {
  zarn_test::TempDir dir;
  std::string script = zarn_test::db_script();
  std::string server = dir.file("db");
  ASSERT_EQ(zarn_test::run({script, "start", server}).exit_status, 0);
  ASSERT_EQ(zarn_test::run({script, "create", server, "restart_db"}).exit_status, 0);
  std::string conf = dir.file("conf"), log = dir.file("log");
  zarn_test::write_file(conf,
                        "mysql_host localhost\nmysql_user zarn_test\nmysql_passwd zarn_test\n"
                        "mysql_dbname restart_db\nmysql_sock " +
                            server + "/mysql.sock\n");
  conf_file = conf.c_str();
  extern_error_log = log.c_str();
  mysql_host.reset();

  MYSQL* c = sql_connect();
  ASSERT_NE(c, nullptr) << read_file(log);
  EXPECT_FALSE(sql_query(c, "INSERT INTO internet_clients (id) VALUES (7)"));
  ASSERT_EQ(zarn_test::run({script, "restart", server}).exit_status, 0);
  SqlResult rows = sql_query(c, "SELECT id FROM internet_clients");
  ASSERT_TRUE(rows) << read_file(log);
  EXPECT_STREQ(mysql_fetch_row(rows.get())[0], "7");
  EXPECT_NE(read_file(log).find("Reconnect after error Ok.\n"), std::string::npos) << read_file(log);

  sql_close(c);
  zarn_test::run({script, "stop", server});
  conf_file = nullptr;
  extern_error_log = nullptr;
  mysql_host.reset();
}

}  // namespace
