// zarn-auth: the login service of the subscribers' client programs. One
// process listens; each connection gets a process of its own with its own
// database connection, which holds the login, the keep-alive and the ending.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "zarn-auth/client_table.h"
#include "zarn-auth/keepalive.h"
#include "zarn-auth/refusal_log.h"
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
    log_and_print("Error:Could not aquire my name.\n");
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

// Seconds of a clock that no change of the system time moves.
time_t steady_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

void log_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) write_log("%s", line.c_str());
}

// Waits until a connection is waiting on the listening socket, reaping ended
// connection processes and writing due summaries meanwhile. False when the
// wait ended without one (time to reap, or a signal).
bool wait_for_connection(ClientTable& clients, RefusalLog& refusals) {
  clients.reap();
  log_lines(refusals.due(steady_seconds()));
  // Ended processes are reaped at least every second while there are some.
  int wait_ms = clients.size() > 0 ? 1000 : -1;
  if (std::optional<time_t> due = refusals.next_due()) {
    int until_due = static_cast<int>(std::max<time_t>(*due - steady_seconds(), 0) * 1000 + 100);
    wait_ms = wait_ms < 0 ? until_due : std::min(wait_ms, until_due);
  }
  pollfd listening{s, POLLIN, 0};
  return poll(&listening, 1, wait_ms) > 0;
}

[[noreturn]] void accept_loop(int clients_per_address) {
  char last_peer[INET_ADDRSTRLEN] = "0.0.0.0";
  ClientTable clients;
  RefusalLog refusals;
  for (;;) {
    // After the first signal nothing more is accepted; the second ends the process.
    while (exiting) {
      clients.reap();
      sleep(1);
    }
    if (!wait_for_connection(clients, refusals)) continue;
    sockaddr_in client{};
    socklen_t size = sizeof client;
    int socket = accept4(s, reinterpret_cast<sockaddr*>(&client), &size, SOCK_CLOEXEC);
    if (socket < 0) {
      write_log("Could not accept client %s %s\n", last_peer, now().c_str());
      continue;
    }
    inet_ntop(AF_INET, &client.sin_addr, last_peer, sizeof last_peer);
    // One address may not take every process and database connection.
    clients.reap();
    int open = clients.count(client.sin_addr.s_addr);
    if (open >= clients_per_address) {
      // Reset, not closed in order: a flood leaves no closing sockets behind.
      const linger reset{1, 0};
      setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(socket);
      log_lines(refusals.refused(last_peer, open, steady_seconds()));
      continue;
    }
    write_log("Client %s sock:%d %s\n", last_peer, socket, now().c_str());
    pid_t pid = fork();
    if (pid == 0) serve(socket, last_peer);
    if (pid > 0) clients.add(pid, client.sin_addr.s_addr);
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
  // Finished connection processes are reaped by the listener, which counts
  // them per address (no handler: accept must not be interrupted by it).
  set_signal(SIGCHLD, SIG_DFL);
  set_signal(SIGPIPE, SIG_IGN);  // a write to a lost subscriber fails as a write

  if (argc > 1 && std::strcmp(argv[1], "-d") == 0 && !fork_into_background("ZARN AUTH SERVER STARTED IN DAEMON MODE\n"))
    return kStartupEnded;
  if (!read_config(kConf)) return kStartupEnded;
  MYSQL* connection = sql_connect();
  if (!connection) return kStartupEnded;
  rid = find_router(connection);
  if (rid <= 0) {
    if (rid == 0) log_and_print("Error:Router ID cannot be 0.\n");
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
  ClientsPerAddress limit = clients_per_address(g);
  if (!limit.valid)
    write_log("max_clients_per_address in the config should have a value between 1 and %d; using %d\n",
              kMaxClientsPerAddress, limit.limit);
  if (!login_timeout(g).valid)
    write_log("login_timeout in the config should have a value between %d and %d seconds; using %d\n", kMinLoginTimeout,
              kMaxLoginTimeout, kDefaultLoginTimeout);
  s = init_socket(g.auth_listen_on ? g.auth_listen_on->c_str() : nullptr, g.auth_port ? g.auth_port->c_str() : nullptr);
  if (s < 0) {
    write_log("Error: No listening socket (%d), stopping.\n", s);
    return kStartupEnded;
  }
  write_log("Zarn-Auth: Accepting connections on port: %d\n", std::atoi(g.auth_port->c_str()));
  setproctitle("zarn-auth: ready for connections");
  accept_loop(limit.limit);
}
