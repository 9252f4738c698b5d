#include "zarn-auth/sessions.h"

#include "libzarn/sql.h"
#include "zarn-auth/auth_globals.h"

int check_session(client_class& c, MYSQL* connection) {
  SqlResult res = sql_query(connection,
                            "select * from internet_vpn_log where remote_addr='%s' and logout_date = '0000-00-00 "
                            "00:00:00' and rid = '%d'",
                            c.remote_addr.c_str(), rid);
  if (!res) return 0;
  if (sql_num_rows(res.get()) == 0) return 1;
  send_out(&c, "229 Session already in progress. Retry in %d seconds.\r\n", g.client_timeout);
  log_client(c, "Error: Session already in progress.Dropping current connection\n");
  return 0;
}

int lock_session(int cid, client_class& c, MYSQL* connection) {
  SqlResult open = sql_query(
      connection, "select * from internet_vpn_log where cid='%d' and logout_date = '0000-00-00 00:00:00'", cid);
  if (!open || sql_num_rows(open.get()) > 0) return 0;
  sql_query(connection, "insert into `internet_vpn_log` values(NULL,%d,'%s','%s',now(),'0000-00-00 00:00:00',1,%d)",
            cid, c.session.c_str(), c.remote_addr.c_str(), rid);
  return 1;
}

void unlock_session(int cid, MYSQL* connection) {
  sql_query(connection,
            "update internet_vpn_log set logout_date=now() where cid='%d' and logout_date = '0000-00-00 00:00:00' and "
            "rid = '%d'",
            cid, rid);
}

int unlock_all_sessions(MYSQL* connection) {
  sql_query(connection,
            "update internet_vpn_log set logout_date=now() where logout_date = '0000-00-00 00:00:00' and rid = '%d'",
            rid);
  return 1;
}

namespace {

// The third column of the first qualifying row of a message table, if any.
std::optional<std::string> current_notice(const char* table, int cid, MYSQL* connection) {
  SqlResult res = sql_query(connection,
                            "select * from %s where start_date < now() and stop_date > now() and notify != 0 and "
                            "(cid = '%d' or cid = '0')",
                            table, cid);
  if (!res || sql_num_rows(res.get()) == 0 || mysql_num_fields(res.get()) < 3) return std::nullopt;
  MYSQL_ROW row = mysql_fetch_row(res.get());
  if (!row || !row[2]) return std::nullopt;
  return std::string(row[2]);
}

}  // namespace

void send_messages(client_class& c, int cid, MYSQL* connection) {
  if (auto text = current_notice("internet_vpn_messages", cid, connection))
    send_out(&c, "226 %s\r\n.|.\r\n", text->c_str());
}

void send_url(client_class& c, int cid, MYSQL* connection) {
  if (auto text = current_notice("internet_vpn_url_messages", cid, connection))
    send_out(&c, "230 %s\r\n", text->c_str());
}
