// zarnctl: the master's side of the router control protocol, for operators
// and scripts. Logs in to a router's control service and sends one command,
// or every line of standard input, printing the replies.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "libzarn/config.h"
#include "tools/control_client.h"
#include "tools/password_source.h"

namespace {

constexpr const char* kPasswordVariable = "ZARNCTL_PASSWORD";
constexpr int kDefaultWaitSeconds = 75;  // a diagnostic run may take 30 s and more

// Exit statuses besides 0 (success) and 1 (the command failed).
constexpr int kStatusUsage = 64;
constexpr int kStatusConnect = 2;
constexpr int kStatusLogin = 3;

constexpr const char* kUsage =
    "NAME\n"
    "     zarnctl - send commands to a router's control service\n"
    "\n"
    "SYNOPSIS\n"
    "     zarnctl -a address -p port -u user [-f password-file] [-t seconds]\n"
    "             [command [word ...]]\n"
    "\n"
    "DESCRIPTION\n"
    "     zarnctl connects to the control service of zarn-router at address and\n"
    "     port, logs in as user and sends the command given by the remaining\n"
    "     words, printing every reply line. Without a command it reads commands\n"
    "     from standard input, one per line, until quit or the end of input.\n"
    "\n"
    "     The password is never taken from the command line: it is the first\n"
    "     line of password-file, or else the value of ZARNCTL_PASSWORD.\n"
    "\n"
    "     -a address        dotted IPv4 address of the router\n"
    "     -p port           the router's listenport\n"
    "     -u user           the router's user name\n"
    "     -f password-file  file whose first line is the password\n"
    "     -t seconds        longest wait for a reply line (default 75)\n"
    "     -h                this text\n"
    "\n"
    "EXIT STATUS\n"
    "     0 when the (last) reply was 222 or 400, or a complete help, identify\n"
    "     or clear reply; 1 for any other reply or when the router closed the\n"
    "     session; 2 when the router could not be reached; 3 when the login was\n"
    "     refused; 64 for a usage error.\n"
    "\n"
    "EXAMPLES\n"
    "     ZARNCTL_PASSWORD=secret zarnctl -a 10.1.1.1 -p 9000 -u demo client activate 17\n"
    "     zarnctl -a 10.1.1.1 -p 9000 -u demo -f /root/router.pass identify\n";

void print_line(const std::string& line) { std::cout << line << '\n' << std::flush; }

}  // namespace

int main(int argc, char** argv) {
  const char* address = nullptr;
  const char* port = nullptr;
  const char* user = nullptr;
  const char* password_file = nullptr;
  int wait_seconds = kDefaultWaitSeconds;
  int option;
  while ((option = getopt(argc, argv, "+a:p:u:f:t:h")) != -1) {
    switch (option) {
      case 'a':
        address = optarg;
        break;
      case 'p':
        port = optarg;
        break;
      case 'u':
        user = optarg;
        break;
      case 'f':
        password_file = optarg;
        break;
      case 't':
        wait_seconds = std::atoi(optarg);
        break;
      case 'h':
        std::cout << kUsage;
        return 0;
      default:
        std::cerr << kUsage;
        return kStatusUsage;
    }
  }
  if (!address || !port || !user || wait_seconds <= 0) {
    std::cerr << kUsage;
    return kStatusUsage;
  }
  std::optional<std::string> password = read_password(password_file, kPasswordVariable);
  if (!password) {
    std::cerr << "zarnctl: no password: give -f password-file or set " << kPasswordVariable << "\n";
    return kStatusUsage;
  }

  ClientRecord router = init_conn(address, std::atoi(port), wait_seconds);
  if (!router) {
    std::cerr << "zarnctl: cannot connect to " << address << " port " << port << ": " << std::strerror(errno) << "\n";
    return kStatusConnect;
  }
  switch (control_login(*router, user, *password)) {
    case LoginResult::kAccepted:
      break;
    case LoginResult::kRejected:
      std::cerr << "zarnctl: login rejected\n";
      return kStatusLogin;
    case LoginResult::kNoGreeting:
    case LoginResult::kLost:
      std::cerr << "zarnctl: the router closed the session during the login\n";
      return kStatusLogin;
  }

  if (optind < argc) {
    std::string command = argv[optind];
    for (int i = optind + 1; i < argc; ++i) command += std::string(" ") + argv[i];
    int status = reply_exit_status(control_command(*router, command, print_line));
    if (command != "quit") control_command(*router, "quit", [](const std::string&) {});
    return status;
  }

  int status = 0;
  std::string line;
  bool quit = false;
  while (!quit && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ReplyEnd end = control_command(*router, line, print_line);
    status = reply_exit_status(end);
    quit = line == "quit" || !end.complete;
  }
  if (!quit) control_command(*router, "quit", [](const std::string&) {});
  return status;
}
