// A query sent ahead on the host's connection: the server works on it while
// the module goes on with kernel work, and its rows are read when needed.
// Nothing else may use the connection in between.
#pragma once

#include <string>

#include "libzarn/sql.h"

// One query in flight, or none.
class QueryAhead {
 public:
  // Sends the query without waiting (on a null connection it runs at take()).
  void send(MYSQL* connection, std::string query);
  bool pending() const { return !query_.empty(); }
  // The stored rows, as sql_query gives them (the same log lines on failure,
  // one repair of a lost connection and one more try).
  SqlResult take();

 private:
  MYSQL* connection_ = nullptr;
  std::string query_;
  bool sent_ = false;
};
