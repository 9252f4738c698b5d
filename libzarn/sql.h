// Database access: connections made from the program's configuration, queries
// given as printf formats, and one repair of a connection the server dropped.
#pragma once

#include <mysql.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Frees a stored result.
struct SqlResultFree {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
// A stored result: every row already fetched to the client.
using SqlResult = std::unique_ptr<MYSQL_RES, SqlResultFree>;

// Character set of every connection, named before it is made.
inline constexpr const char* kConnectionCharset = "utf8mb4";

// Port of the first connection; a repaired connection uses `mysql_port`.
inline constexpr unsigned kFirstConnectPort = 8446;

// Opens a connection with the settings of `conf_file` (read on first use), or null.
MYSQL* sql_connect();

// As sql_connect, running `meanwhile` once while the server answers the
// connection (after it, when there was nothing to wait for; not at all when
// no connection could be tried). What it does must not need the connection.
MYSQL* sql_connect_overlapped(const std::function<void()>& meanwhile);

// Runs the formatted query. Empty when it failed or produced no result set.
// Values must already be escaped (slash_this) or checked to be numbers.
// A null connection opens one for this query alone.
SqlResult sql_query(MYSQL* connection, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Runs statements that give no rows (updates), many to a round trip: each
// send joins up to `per_send` of them with ";", multi-statements allowed on
// the connection for that send alone. The server stops a send at a statement
// it refuses: that one is logged as sql_query logs it (a lost connection
// repaired), and the ones after it run one by one, so that none is lost.
// The statements must be made of checked or escaped values, as for sql_query.
void sql_execute_all(MYSQL* connection, const std::vector<std::string>& statements, size_t per_send = 500);

// Reconnects the handle in place after a lost connection; 1 when that worked.
int sql_err(unsigned error_code, MYSQL* connection);

unsigned long long sql_num_rows(MYSQL_RES* result);

// Escapes `text` for a value between single quotes as `connection` reads it
// (its character set; doubled quotes under NO_BACKSLASH_ESCAPES). Without a
// live connection, quotes are doubled and backslashes escaped, which no server
// mode reads past the closing quote.
std::string sql_escape(MYSQL* connection, std::string_view text);

// The connection escaping uses when the caller names none: `mysql_r`, else the
// one this process opened last and has not closed.
MYSQL* escaping_connection();

// Ends and frees a connection made by sql_connect (null is ignored).
void sql_close(MYSQL* connection);

// Closes `mysql_r` at scope exit unless a module already did and cleared it.
struct SqlConnectionScope {
  SqlConnectionScope() = default;
  SqlConnectionScope(const SqlConnectionScope&) = delete;
  SqlConnectionScope& operator=(const SqlConnectionScope&) = delete;
  ~SqlConnectionScope();
};
