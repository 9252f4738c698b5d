#include "libzarn/sql.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "libzarn/config.h"
#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"

namespace {

// The connection this process opened last and has not closed: what escaping
// uses when the process has no mysql_r (daemons that keep their own handle).
MYSQL* last_connection = nullptr;

const char* c_str_or_null(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

bool connect_handle(MYSQL* handle, unsigned port) {
  // Set, not left to the library's or the server's default, so that the
  // server reads the bytes as the escaping (which knows this set) wrote them.
  mysql_options(handle, MYSQL_SET_CHARSET_NAME, kConnectionCharset);
  return mysql_real_connect(handle, c_str_or_null(mysql_host), c_str_or_null(mysql_user), c_str_or_null(mysql_passwd),
                            c_str_or_null(mysql_dbname), port, c_str_or_null(mysql_sock), 0) != nullptr;
}

// What the client library waits for, as poll events, and back.
short poll_events(int wait) {
  return static_cast<short>(((wait & MYSQL_WAIT_READ) ? POLLIN : 0) | ((wait & MYSQL_WAIT_WRITE) ? POLLOUT : 0) |
                            ((wait & MYSQL_WAIT_EXCEPT) ? POLLPRI : 0));
}
int wait_events(short revents) {
  return ((revents & (POLLIN | POLLHUP | POLLERR)) ? MYSQL_WAIT_READ : 0) |
         ((revents & POLLOUT) ? MYSQL_WAIT_WRITE : 0) | ((revents & POLLPRI) ? MYSQL_WAIT_EXCEPT : 0);
}

// connect_handle through the library's non-blocking calls, with `meanwhile`
// run at the first wait. Later queries on the handle block as usual.
bool connect_handle_overlapped(MYSQL* handle, unsigned port, const std::function<void()>& meanwhile) {
  bool ran = false;
  auto run_meanwhile = [&] {
    if (!ran) meanwhile();
    ran = true;
  };
  if (mysql_options(handle, MYSQL_OPT_NONBLOCK, nullptr) != 0) {
    bool connected = connect_handle(handle, port);
    run_meanwhile();
    return connected;
  }
  MYSQL* connected = nullptr;
  int wait = mysql_real_connect_start(&connected, handle, c_str_or_null(mysql_host), c_str_or_null(mysql_user),
                                      c_str_or_null(mysql_passwd), c_str_or_null(mysql_dbname), port,
                                      c_str_or_null(mysql_sock), 0);
  while (wait != 0) {
    run_meanwhile();
    pollfd p{mysql_get_socket(handle), poll_events(wait), 0};
    int timeout = (wait & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(handle)) : -1;
    int ready = poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    int happened = ready > 0 ? wait_events(p.revents) : MYSQL_WAIT_TIMEOUT;
    wait = mysql_real_connect_cont(&connected, handle, happened);
  }
  run_meanwhile();
  return connected != nullptr;
}

// Whether the server or the link dropped the connection (worth one reconnect).
bool is_lost_connection(unsigned code) { return code == 2002 || code == 2006 || code == 2013; }

SqlResult run_query(MYSQL* connection, const std::string& query) {
  if (mysql_real_query(connection, query.data(), query.size()) != 0) {
    write_log("MYSQL Error: Error('%s')\n", mysql_error(connection));
    write_log("MYSQL Error: Query('%s')\n", query.c_str());
    if (sql_err(mysql_errno(connection), connection) != 1) return nullptr;
    if (mysql_real_query(connection, query.data(), query.size()) != 0) return nullptr;
  }
  if (mysql_field_count(connection) == 0) return nullptr;
  return SqlResult(mysql_store_result(connection));
}

}  // namespace

MYSQL* sql_connect() { return sql_connect_overlapped(nullptr); }

MYSQL* sql_connect_overlapped(const std::function<void()>& meanwhile) {
  // Allocated here and initialised in place, so that a reconnect keeps the
  // caller's pointer valid.
  auto* handle = static_cast<MYSQL*>(std::calloc(1, sizeof(MYSQL)));
  if (!handle) {
    write_log("Could not alloc mysql pointer\n");
    return nullptr;
  }
  if (!mysql_host) {
    std::optional<std::string> text = conf_file ? file_get_contents(conf_file) : std::nullopt;
    if (!text) {
      write_log("Could not read config file.\n");
      std::free(handle);
      return nullptr;
    }
    parse_mysql(*text);
  }
  if (!mysql_host) {
    write_log("Could not read config file or mysql_host(%s) is missing\n", "(null)");
    std::free(handle);
    return nullptr;
  }
  if (!mysql_init(handle)) {
    write_log("Error:mysql_init failed\n");
    std::free(handle);
    return nullptr;
  }
  bool connected = meanwhile ? connect_handle_overlapped(handle, kFirstConnectPort, meanwhile)
                             : connect_handle(handle, kFirstConnectPort);
  if (!connected) {
    write_log("Connection failed for host: %s db: %s\n", mysql_host->c_str(),
              mysql_dbname ? mysql_dbname->c_str() : "(null)");
    write_log("Error: %s\n", mysql_error(handle));
    mysql_close(handle);
    std::free(handle);
    return nullptr;
  }
  last_connection = handle;
  return handle;
}

SqlResult sql_query(MYSQL* connection, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string query = vformat(fmt, args);
  va_end(args);

  if (connection) return run_query(connection, query);

  write_log("MYSQL Error: No mysql connection, mysql pointer is null\n");
  MYSQL* own = sql_connect();
  if (!own) return nullptr;
  // The rows are stored on the client, so this one-query connection can go.
  SqlResult result = run_query(own, query);
  sql_close(own);
  return result;
}

namespace {

// Sends `count` statements from `first` in one query (multi-statements on);
// the number that ran: all of them, or those before the one the server refused.
size_t send_joined(MYSQL* connection, const std::vector<std::string>& statements, size_t first, size_t count) {
  std::string joined;
  for (size_t i = first; i < first + count; ++i) joined += (i == first ? "" : ";") + statements[i];
  size_t ran = 0;
  if (mysql_real_query(connection, joined.data(), joined.size()) != 0) return ran;
  for (;;) {
    ++ran;
    if (MYSQL_RES* rows = mysql_store_result(connection)) mysql_free_result(rows);
    if (mysql_next_result(connection) != 0) return ran;  // -1: no more; above 0: the next one was refused
  }
}

}  // namespace

void sql_execute_all(MYSQL* connection, const std::vector<std::string>& statements, size_t per_send) {
  if (per_send == 0) per_send = 1;
  bool multi = false;  // whether the connection takes several statements to a query now
  bool asked = false;  // whether it was ever asked to
  for (size_t first = 0; first < statements.size();) {
    size_t count = std::min(per_send, statements.size() - first);
    if (connection && !multi) {
      multi = mysql_set_server_option(connection, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
      asked = true;
    }
    size_t ran = multi ? send_joined(connection, statements, first, count) : 0;
    if (ran < count) {
      // The refused one (with its log lines and one repair, which makes a
      // new connection without the option) and the rest of the send, one by one.
      for (size_t i = first + ran; i < first + count; ++i) sql_query(connection, "%s", statements[i].c_str());
      multi = false;
    }
    first += count;
  }
  if (asked) mysql_set_server_option(connection, MYSQL_OPTION_MULTI_STATEMENTS_OFF);
}

int sql_err(unsigned error_code, MYSQL* connection) {
  if (!is_lost_connection(error_code)) {
    write_log("MYSQL Default Error: %s code: %d\n", mysql_error(connection), static_cast<int>(error_code));
    return 0;
  }
  mysql_close(connection);
  if (!mysql_init(connection)) {
    write_log("Error:mysql_init failed\n");
    return 0;
  }
  if (!connect_handle(connection, static_cast<unsigned>(mysql_cport))) {
    write_log("Reconnect after error failed.\n");
    write_log("MYSQL Error: %s\n", mysql_error(connection));
    return 0;
  }
  write_log("Reconnect after error Ok.\n");
  return 1;
}

MYSQL* escaping_connection() { return mysql_r ? mysql_r : last_connection; }

std::string sql_escape(MYSQL* connection, std::string_view text) {
  if (connection && mysql_get_socket(connection) >= 0) {  // a live connection: it knows the server's mode
    std::string escaped(text.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(connection, escaped.data(), text.data(), text.size());
    if (n != static_cast<unsigned long>(-1)) {
      escaped.resize(n);
      return escaped;
    }
  }
  // No connection to ask: a form that neither mode reads past the closing
  // quote (a doubled quote is a quote in both; a backslash is doubled, which
  // a server without backslash escapes keeps as two).
  std::string escaped;
  for (char c : text) {
    if (c == '\'') escaped += '\'';
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

unsigned long long sql_num_rows(MYSQL_RES* result) { return result ? mysql_num_rows(result) : 0; }

void sql_close(MYSQL* connection) {
  if (!connection) return;
  if (connection == last_connection) last_connection = nullptr;
  mysql_close(connection);
  std::free(connection);
}

SqlConnectionScope::~SqlConnectionScope() {
  sql_close(mysql_r);
  mysql_r = nullptr;
}
