#include "zarn-router/auth.h"

#include <cstring>

#include "libzarn/log.h"
#include "libzarn/mcrypt.h"
#include "zarn-router/router_globals.h"

namespace {

// The stored form is compared as a zero-terminated string: the cipher text up
// to its first zero byte, as the database column is read.
bool password_matches(const std::string& password) {
  if (!g.crypt_key || !g.router_pass) return false;
  std::optional<std::string> cipher =
      mcrypt_encrypt("tripledes", g.crypt_key->c_str(), password.c_str(), "ecb", kIvRand);
  if (!cipher) return false;
  return std::strcmp(cipher->c_str(), g.router_pass->c_str()) == 0;
}

}  // namespace

int perform_auth(client_class& record) {
  const char* peer = record.remote_addr.c_str();
  const char* session = record.session.c_str();
  for (int attempt = 0;; ++attempt) {
    std::optional<std::string> user = get_line(record);
    if (!user || *user == "quit") return 0;
    send_out(&record, "221 More Authentication Required\r\n");
    std::optional<std::string> password = get_line(record);
    if (!password || *password == "quit") return 0;
    write_log("[%s][%s]Recived user and password.\n", peer, session);

    if (g.router_user && *user == *g.router_user && password_matches(*password)) {
      send_out(&record, "\f");
      send_out(&record, "222 Authentication accepted.\r\n");
      write_log("[%s][%s]Authentication accepted.\n", peer, session);
      return 1;
    }
    send_out(&record, "224 Authentication Rejected.\r\n");
    write_log("[%s][%s]Authentication failed.\n", peer, session);
    if (attempt + 1 >= kLoginAttempts) return 0;
  }
}
