#include "zarn-auth/login.h"

#include <cstdlib>
#include <cstring>

#include "libzarn/log.h"
#include "libzarn/mcrypt.h"
#include "libzarn/proctitle.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "zarn-auth/auth_globals.h"
#include "zarn-auth/credentials.h"
#include "zarn-auth/read_deadline.h"

namespace {

// The three lines as received (still encoded).
struct Credentials {
  std::string user, pass, gateway;
};

std::optional<Credentials> read_lines(client_class& c) {
  Credentials cr;
  std::optional<std::string> line = send_wait(&c, "220 Username: \r\n");
  if (!line) {
    log_client(c, "Error: did not receive username.\n");
    return std::nullopt;
  }
  cr.user = *line;
  line = send_wait(&c, "221 Password: \r\n");
  if (!line) {
    log_client(c, "Error: did not receive userpass.\n");
    return std::nullopt;
  }
  cr.pass = *line;
  line = send_wait(&c, "223 Gateway: \r\n");
  if (!line) {
    log_client(c, "Error: did not receive gateway.\n");
    return std::nullopt;
  }
  cr.gateway = *line;
  return cr;
}

// The three lines, which must all have come within the login time limit.
std::optional<Credentials> read_credentials(client_class& c) {
  const int seconds = login_timeout(g).seconds;
  ReadDeadline deadline(c.fdin, seconds);
  std::optional<Credentials> cr = read_lines(c);
  // Also when the last line came just as the limit struck: the socket's
  // reading side is shut then, and the keep-alive could not read a reply.
  if (deadline.expired()) {
    log_client(c, "Error: login dialogue not completed within %d seconds.\n", seconds);
    return std::nullopt;
  }
  return cr;
}

int server_error(client_class& c, const char* why) {
  send_out(&c, "225 Error reported by server [2013].\r\n");
  log_client(c, "Error reported by server [2013] on %s.\n", why);
  return 0;
}

void record_failure(client_class& c, const Credentials& cr, const char* reason, MYSQL* connection) {
  sql_query(connection, "insert into `internet_vpn_auth_failures` values(NULL,'%s','%s','%s','%s',now(),now(),%s)",
            slash_this(cr.user).c_str(), slash_this(cr.pass).c_str(), c.session.c_str(), c.remote_addr.c_str(), reason);
}

}  // namespace

int perform_auth(client_class& c, MYSQL* connection) {
  std::optional<Credentials> cr = read_credentials(c);
  if (!cr) return 0;
  std::string user = Decrypt(cr->user);
  std::string password = Decrypt(cr->pass);
  std::string gateway = Decrypt(cr->gateway);

  std::optional<std::string> cipher =
      mcrypt_encrypt("tripledes", g.crypt_key ? g.crypt_key->c_str() : "", password.c_str(), "ecb", kIvRand);
  // Without a cipher text there is nothing to compare: the server cannot check.
  if (!cipher) return server_error(c, "cipher");
  // The stored form is compared as a C string: up to the first zero byte.
  std::string stored_form(cipher->c_str());

  SqlResult res = sql_query(connection,
                            "select a.cid,b.active from internet_vpn as a left join internet_settings as b on "
                            "a.cid=b.cid where a.user='%s' and a.pass='%s' and b.ip='%s'",
                            slash_this(user).c_str(), slash_this(stored_form).c_str(), c.remote_addr.c_str());
  if (!res) return server_error(c, "res");
  if (sql_num_rows(res.get()) != 1) {
    record_failure(c, *cr, "0", connection);
    send_out(&c, "224 Authentication failed.\r\n");
    log_client(c, "Authentication failed.\n");
    return 0;
  }
  MYSQL_ROW row = mysql_fetch_row(res.get());
  int cid = row[0] ? std::atoi(row[0]) : 0;
  int active = row[1] ? std::atoi(row[1]) : 0;

  SqlResult gw = sql_query(connection, "select * from internal_net where gw='%s'", slash_this(gateway).c_str());
  if (!gw) return server_error(c, "gateway");
  if (sql_num_rows(gw.get()) == 0) {
    record_failure(c, *cr, "\t2", connection);
    send_out(&c, "229 Your network configuration is incorrect.\r\n");
    log_client(c, "Authentication rejected gateway [%s] is wrong.\n", gateway.c_str());
    return 0;
  }
  if (active == 1 || active == 123) {
    send_out(&c, "222 Authentication accepted.\r\n");
    log_client(c, "Authentication accepted.\n");
    setproctitle("zarn-auth[%d]: IP:%s Client:%s", cid, c.remote_addr.c_str(), user.c_str());
    return cid;
  }
  send_out(&c, "229 Your account is deactivated/suspended.\r\n");
  log_client(c, "Authentication rejected account is disabled.\n");
  return 0;
}
