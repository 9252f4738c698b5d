#include "zarn-router/identity.h"

#include <cstdlib>

#include "libzarn/config.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "zarn-router/router_globals.h"

int load_identity(MYSQL* connection) {
  // Without listenaddr there is no address to look the router up by.
  if (!g.inetaddr) return 0;
  SqlResult result =
      sql_query(connection, "select rname,id,user,password,use_verify from internet_routers where ip = '%s'",
                slash_this(*g.inetaddr).c_str());
  if (!result) return 0;
  MYSQL_ROW row = mysql_fetch_row(result.get());
  if (!row) return 0;
  // Every column is read as a zero-terminated text, the password included:
  // its cipher bytes count up to the first zero byte.
  setval(g.router_name, row[0] ? row[0] : "");
  g.router_id = row[1] ? std::atoi(row[1]) : 0;
  setval(g.router_user, row[2] ? row[2] : "");
  setval(g.router_pass, row[3] ? row[3] : "");
  return 1;
}
