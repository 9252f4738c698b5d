// zarn-router: the control service through which the master server drives
// this router. Runs as the account zarn, builds the firewall once at start,
// then serves each connection of the master server in a process of its own.
#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libzarn/account.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/process.h"
#include "libzarn/proctitle.h"
#include "libzarn/sql.h"
#include "zarn-router/auth.h"
#include "zarn-router/identity.h"
#include "zarn-router/router_commands.h"
#include "zarn-router/router_config.h"
#include "zarn-router/router_functions.h"
#include "zarn-router/router_globals.h"

namespace {

constexpr const char* kAccount = "zarn";
// Every failed start-up ends with this status, after its message.
constexpr int kStartupFailed = 0;

void write_all(int fd, const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// SIGINT and SIGQUIT: says good-bye to a peer, closes everything, ends at once.
void terminate(int) {
  signal_safe_log(kRouterLog, "Term signal received.\n");
  if (cl && cl->fin && cl->fout) write_all(cl->fdout, "\r\nReceived term signal.\r\nBye Bye.\r\n");
  if (cl) {
    if (cl->fdin >= 0) close(cl->fdin);
    if (cl->fdout >= 0) close(cl->fdout);
  }
  if (s >= 0) close(s);
  _exit(0);
}

bool drop_to_account() {
  AccountSwitch result = become_account(kAccount);
  if (result == AccountSwitch::no_account) {
    std::printf("User zarn not found on this system.\n");
    std::printf("Cannot run as root. Exting...\n");
    return false;
  }
  if (result == AccountSwitch::refused) {
    const passwd* account = getpwnam(kAccount);
    std::printf("Cannot set uid and gid to user zarn UID: '%d' GID: '%d'.\n", static_cast<int>(account->pw_uid),
                static_cast<int>(account->pw_gid));
    std::printf("Cannot run as root. Exting...\n");
    write_log("Cannot set uid and gid to user zarn.\n");
    return false;
  }
  return true;
}

// Settings, identity and the firewall, up to the point where the port opens.
bool prepare() {
  if (!read_config(conf_file)) return false;
  if (!read_notifier_config(kNotifierConf)) write_log("Zarn-Notifier config was not found.\n");

  MYSQL* connection = sql_connect();
  if (!connection) return false;
  int found = load_identity(connection);
  if (!found) {
    sql_close(connection);
    log_and_print("Error:Could not aquire my name.\n");
    return false;
  }
  if (g.router_id == 0) {
    sql_close(connection);
    log_and_print("Error:Router ID cannot be 0.\n");
    return false;
  }
  sql_close(connection);  // no database connection is held after start-up
  if (!g.router_user || g.router_user->empty() || !g.router_pass || g.router_pass->empty()) {
    log_and_print("I cannot run without a user and password.\n");
    return false;
  }
  fire_command("start");
  return true;
}

// One connection, in its own process: peer check, greeting, login, commands.
[[noreturn]] void serve(int socket, const char* peer) {
  set_signal(SIGCHLD, SIG_DFL);  // the runs of the runner are waited for
  close(s);
  s = -1;
  cl = gen_struct(socket, peer, &g.timeout);
  if (!cl) _exit(0);
  const char* session = cl->session.c_str();
  if (!g.master_server || cl->remote_addr != *g.master_server) {
    write_log("[%s][%s]Ip not matching master server: %s droping connection.\n", peer, session,
              g.master_server.value_or("(null)").c_str());
    close_socket(cl);
    _exit(0);
  }
  send_out(cl.get(), "220 Zarn Router Server\r\n");
  write_log("[%s][%s]Client auth is in progress..\n", peer, session);
  setproctitle("zarn-router: [%s]Auth in progress..\n", peer);
  if (perform_auth(*cl) == 1) {
    cl->auth_result = 1;
    setproctitle("zarn-router: [%s]Client logged in..\n", peer);
    commands(*cl, router);
  }
  std::string addr = cl->remote_addr, id = cl->session;
  close_socket(cl);
  write_log("[%s][%s]Connection to client ended.\n", addr.c_str(), id.c_str());
  _exit(0);
}

[[noreturn]] void accept_loop() {
  for (;;) {
    sockaddr_in client{};
    socklen_t client_size = sizeof client;
    int socket = accept4(s, reinterpret_cast<sockaddr*>(&client), &client_size, SOCK_CLOEXEC);
    if (socket < 0) {
      write_log("Could not accept client %s %s\n", inet_ntoa(client.sin_addr), now().c_str());
      continue;
    }
    pid_t pid = fork();
    if (pid == 0) {
      char peer[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &client.sin_addr, peer, sizeof peer);
      serve(socket, peer);
    }
    close(socket);
  }
}

}  // namespace

int main(int argc, char** argv) {
  conf_file = ZARN_ROUTER_CONF;
  extern_error_log = kRouterLog;

  if (!drop_to_account()) return kStartupFailed;
  set_signal(SIGINT, terminate);
  set_signal(SIGQUIT, terminate);
  set_signal(SIGPIPE, SIG_IGN);  // a write to a lost peer fails as a write

  if (argc > 1 && std::strcmp(argv[1], "-d") == 0 && !fork_into_background("ZARN ROUTER STARTED IN DAEMON MODE\n"))
    return kStartupFailed;
  initproctitle(argc, argv);
  setproctitle("zarn-router: system initializing");

  if (!prepare()) return kStartupFailed;

  set_signal(SIGCHLD, SIG_IGN);  // finished connection processes are reaped by the system
  s = init_socket(g.inetaddr ? g.inetaddr->c_str() : nullptr, g.port ? g.port->c_str() : nullptr);
  if (s < 0) {
    write_log("Error: No listening socket (%d), stopping.\n", s);
    return kStartupFailed;
  }
  setproctitle("zarn-router: ready for connections");
  write_log("zarn-router: ready for connections\n");
  accept_loop();
}
