#include "modules/mod_access/query_ahead.h"

#include "libzarn/log.h"

void QueryAhead::send(MYSQL* connection, std::string query) {
  connection_ = connection;
  query_ = std::move(query);
  sent_ = connection_ && mysql_send_query(connection_, query_.data(), query_.size()) == 0;
}

SqlResult QueryAhead::take() {
  std::string query = std::move(query_);
  query_.clear();
  if (!sent_ || mysql_read_query_result(connection_) != 0) {
    if (sent_) {
      write_log("MYSQL Error: Error('%s')\n", mysql_error(connection_));
      write_log("MYSQL Error: Query('%s')\n", query.c_str());
      if (sql_err(mysql_errno(connection_), connection_) != 1) return nullptr;
    }
    sent_ = false;
    return sql_query(connection_, "%s", query.c_str());
  }
  sent_ = false;
  if (mysql_field_count(connection_) == 0) return nullptr;
  return SqlResult(mysql_store_result(connection_));
}
