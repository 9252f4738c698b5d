// zarn-auth: the login service of the subscribers' client programs. One
// process listens; each connection gets a process of its own with its own
// database connection, which holds the login, the keep-alive and the ending.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libzarn/account.h"
#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "libzarn/proctitle.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "zarn-auth/auth_config.h"
#include "zarn-auth/auth_globals.h"
#include "zarn-auth/keepalive.h"
#include "zarn-auth/sessions.h"

namespace {

constexpr const char* kConf = ZARN_PATH("conf/zarn-auth.conf");
// Every exit before the accept loop has this status.
constexpr int kStartupEnded = 0;

// First signal: stop accepting, end sessions at their next check. Second: end at once.
void terminate(int) {
  signal_safe_log(kAuthLog, "Term signal received.\n");
  if (exiting) _exit(0);
  exiting = 1;
}

void say(const char* message) {
  write_log("%s", message);
  std::printf("%s", message);
  std::fflush(stdout);
}

int read_config(const char* path) {
  std::optional<std::string> text = file_get_contents(path);
  if (!text) return 0;
  parse_auth_config(*text, g);
  return 1;
}

// Finds this router by its database user; 0 when it cannot.
int find_router(MYSQL* connection) {
  SqlResult res = sql_query(connection, "select id from internet_routers where user = '%s'",
                            slash_this(mysql_user.value_or("")).c_str());
  MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
  if (!row) {
    say("Error:Could not aquire my name.\n");
    return -1;
  }
  return row[0] ? std::atoi(row[0]) : 0;
}

// One subscriber connection, in its own process.
[[noreturn]] void serve(int socket, const char* peer) {
  set_signal(SIGCHLD, SIG_DFL);  // the runner is waited for
  close(s);
  s = -1;
  const timeval timeout{g.client_timeout, 0};
  cl = gen_struct(socket, peer, &timeout);
  if (!cl) _exit(0);
  setproctitle("zarn-auth: IP:%s initializing", peer);
  // A connection of its own: the listener's is never shared.
  db = sql_connect();
  if (check_session(*cl, db)) accept_client(*cl, db);
  closing_sequence(*cl);
  std::string addr = cl->remote_addr, session = cl->session;
  close_socket(cl);
  write_log("[%s][%ld][%s]Connection to client ended.\n", addr.c_str(), static_cast<long>(time(nullptr)),
            session.c_str());
  sql_close(db);
  _exit(0);
}

[[noreturn]] void accept_loop() {
  char last_peer[INET_ADDRSTRLEN] = "0.0.0.0";
  for (;;) {
    // After the first signal nothing more is accepted; the second ends the process.
    while (exiting) pause();
    sockaddr_in client{};
    socklen_t size = sizeof client;
    int socket = accept4(s, reinterpret_cast<sockaddr*>(&client), &size, SOCK_CLOEXEC);
    if (socket < 0) {
      write_log("Could not accept client %s %s\n", last_peer, now().c_str());
      continue;
    }
    inet_ntop(AF_INET, &client.sin_addr, last_peer, sizeof last_peer);
    write_log("Client %s sock:%d %s\n", last_peer, socket, now().c_str());
    pid_t pid = fork();
    if (pid == 0) serve(socket, last_peer);
    close(socket);
  }
}

}  // namespace

int main(int argc, char** argv) {
  conf_file = kConf;
  extern_error_log = kAuthLog;

  if (become_account("zarn") != AccountSwitch::done) {
    std::printf("Cannot set uid and gid to user zarn.\n");
    std::printf("Cannot run as root. Exting...\n");
    write_log("Cannot set uid and gid to user zarn.\n");
    return kStartupEnded;
  }
  set_signal(SIGINT, terminate);
  set_signal(SIGQUIT, terminate);
  set_signal(SIGCHLD, SIG_IGN);  // finished connection processes are reaped by the system
  set_signal(SIGPIPE, SIG_IGN);  // a write to a lost subscriber fails as a write

  if (argc > 1 && std::strcmp(argv[1], "-d") == 0) {
    if (fork() != 0) {
      std::printf("ZARN AUTH SERVER STARTED IN DAEMON MODE\n");
      return kStartupEnded;
    }
  }
  if (!read_config(kConf)) return kStartupEnded;
  MYSQL* connection = sql_connect();
  if (!connection) return kStartupEnded;
  rid = find_router(connection);
  if (rid <= 0) {
    if (rid == 0) say("Error:Router ID cannot be 0.\n");
    sql_close(connection);
    return kStartupEnded;
  }
  unlock_all_sessions(connection);
  // The listener needs the database no more; each subscriber process connects itself.
  sql_close(connection);

  initproctitle(argc, argv);
  setproctitle("zarn-auth: system initializing");
  if (!client_timeout_valid(g)) {
    std::printf("client_timeout in the config shoud have a valut betewn 10 and 180 sec\n");
    return kStartupEnded;
  }
  if (!ping_time_valid(g)) {
    std::printf("ping_client_time in the config should have a value greater then 5 sec\n");
    return kStartupEnded;
  }
  s = init_socket(g.auth_listen_on ? g.auth_listen_on->c_str() : nullptr, g.auth_port ? g.auth_port->c_str() : nullptr);
  if (s < 0) {
    write_log("Error: No listening socket (%d), stopping.\n", s);
    return kStartupEnded;
  }
  write_log("Zarn-Auth: Accepting connections on port: %d\n", std::atoi(g.auth_port->c_str()));
  setproctitle("zarn-auth: ready for connections");
  accept_loop();
}
