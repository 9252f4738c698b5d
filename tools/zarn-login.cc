// zarn-login: the subscriber's side of the gateway login, for operators'
// testing and the demo. Logs in, prints the session id, message and notice
// link, and answers every keep-alive probe with the session id until it is
// interrupted (or has answered the number of probes asked for).
#include <arpa/inet.h>
#include <getopt.h>
#include <sys/socket.h>
#include <unistd.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "libzarn/socket.h"
#include "tools/password_source.h"
#include "zarn-auth/credentials.h"

namespace {

constexpr const char* kPasswordVariable = "ZARN_LOGIN_PASSWORD";
constexpr int kStatusRefused = 1;
constexpr int kStatusConnect = 2;
constexpr int kStatusUsage = 64;

constexpr const char* kUsage =
    "NAME\n"
    "     zarn-login - log a subscriber in at the gateway and keep it logged in\n"
    "\n"
    "SYNOPSIS\n"
    "     zarn-login -a address -p port -u user -g gateway [-f password-file]\n"
    "                [-s source] [-n probes] [-t seconds]\n"
    "\n"
    "DESCRIPTION\n"
    "     zarn-login connects to the login service zarn-auth at address and port,\n"
    "     sends the user name, the password and the gateway address in the\n"
    "     service's encoding, prints the session id, the message and the notice\n"
    "     link it receives, and answers every keep-alive probe with the session\n"
    "     id until it is interrupted, or until it has answered -n probes.\n"
    "\n"
    "     -s source binds the connection to a local address (the service checks\n"
    "     that a subscriber logs in from its registered address).\n"
    "\n"
    "     The password is never taken from the command line: it is the first\n"
    "     line of password-file, or else the value of ZARN_LOGIN_PASSWORD.\n"
    "\n"
    "EXIT STATUS\n"
    "     0 after a login that ended by interrupt or after the probes asked for;\n"
    "     1 when the login was refused or the session was lost; 2 when the\n"
    "     service could not be reached; 64 for a usage error.\n";

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

// A connection from a given local address (init_conn lets the kernel choose).
ClientRecord connect_from(const char* source, const char* address, int port, int seconds) {
  sockaddr_in local{}, remote{};
  local.sin_family = remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, source, &local.sin_addr) != 1 || inet_pton(AF_INET, address, &remote.sin_addr) != 1)
    return nullptr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    close(fd);
    return nullptr;
  }
  timeval wait{seconds, 0};
  return gen_struct(fd, address, seconds > 0 ? &wait : nullptr);
}

bool starts_with(const std::optional<std::string>& line, const char* code) {
  return line && line->compare(0, std::strlen(code), code) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char *address = nullptr, *user = nullptr, *gateway = nullptr, *password_file = nullptr, *source = nullptr;
  int port = 0, probes = -1, seconds = 60;
  int opt;
  while ((opt = getopt(argc, argv, "a:p:u:g:f:s:n:t:h")) != -1) {
    switch (opt) {
      case 'a':
        address = optarg;
        break;
      case 'p':
        port = std::atoi(optarg);
        break;
      case 'u':
        user = optarg;
        break;
      case 'g':
        gateway = optarg;
        break;
      case 'f':
        password_file = optarg;
        break;
      case 's':
        source = optarg;
        break;
      case 'n':
        probes = std::atoi(optarg);
        break;
      case 't':
        seconds = std::atoi(optarg);
        break;
      default:
        std::fputs(kUsage, opt == 'h' ? stdout : stderr);
        return opt == 'h' ? 0 : kStatusUsage;
    }
  }
  std::optional<std::string> password = read_password(password_file, kPasswordVariable);
  if (!address || !port || !user || !gateway || !password) {
    std::fputs(kUsage, stderr);
    return kStatusUsage;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;  // no SA_RESTART: a waiting read returns
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  ClientRecord conn = source ? connect_from(source, address, port, seconds) : init_conn(address, port, seconds);
  if (!conn) {
    std::fprintf(stderr, "zarn-login: cannot reach %s port %d\n", address, port);
    return kStatusConnect;
  }
  std::optional<std::string> line = get_line(*conn);
  if (starts_with(line, "229")) {
    std::printf("%s\n", line->c_str());
    return kStatusRefused;
  }
  if (!starts_with(line, "220")) return kStatusRefused;
  line = send_wait(conn.get(), Encrypt(user) + "\r\n");
  if (!starts_with(line, "221")) return kStatusRefused;
  line = send_wait(conn.get(), Encrypt(*password) + "\r\n");
  if (!starts_with(line, "223")) return kStatusRefused;
  line = send_wait(conn.get(), Encrypt(gateway) + "\r\n");
  std::printf("%s\n", line.value_or("(connection closed)").c_str());
  if (!starts_with(line, "222")) return kStatusRefused;

  std::string session;
  int answered = 0;
  while (!interrupted && (probes < 0 || answered < probes)) {
    line = get_line(*conn);
    if (!line) break;
    if (starts_with(line, "227 ")) {
      session = line->substr(4);
      std::printf("session %s\n", session.c_str());
    } else if (starts_with(line, "226 ")) {
      std::printf("message: %s\n", line->c_str() + 4);
    } else if (starts_with(line, "230 ")) {
      std::printf("notice: %s\n", line->c_str() + 4);
    } else if (starts_with(line, "228")) {
      send_out(conn.get(), "%s\r\n", session.c_str());
      ++answered;
    } else if (starts_with(line, "232")) {
      std::printf("%s\n", line->c_str());
      break;
    }
    std::fflush(stdout);
  }
  std::printf("answered %d probes\n", answered);
  close_socket(conn);
  return interrupted || (probes >= 0 && answered >= probes) ? 0 : kStatusRefused;
}
