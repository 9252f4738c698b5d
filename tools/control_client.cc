#include "tools/control_client.h"

#include <sys/socket.h>

#include <cstdlib>

#include "libzarn/string_utils.h"

namespace {

// How long identify's optional operating-system text is waited for.
constexpr timeval kTrailingTextWait{0, 300000};

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The reply code of a numbered line, else 0.
int code_of(const std::string& line) {
  if (line.size() < 4 || line[3] != ' ') return 0;
  for (int i = 0; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return 0;
  return std::atoi(line.substr(0, 3).c_str());
}

// Reads lines that may or may not follow, until none comes for a moment.
void read_trailing_lines(client_class& router, const std::function<void(const std::string&)>& print) {
  timeval saved{};
  socklen_t size = sizeof saved;
  getsockopt(router.fdin, SOL_SOCKET, SO_RCVTIMEO, &saved, &size);
  setsockopt(router.fdin, SOL_SOCKET, SO_RCVTIMEO, &kTrailingTextWait, sizeof kTrailingTextWait);
  while (std::optional<std::string> line = get_line(router)) print(*line);
  clearerr(router.fin);
  setsockopt(router.fdin, SOL_SOCKET, SO_RCVTIMEO, &saved, sizeof saved);
}

}  // namespace

LoginResult control_login(client_class& router, const std::string& user, const std::string& password) {
  std::optional<std::string> greeting = get_line(router);
  if (!greeting) return LoginResult::kLost;
  if (code_of(*greeting) != 220) return LoginResult::kNoGreeting;
  std::optional<std::string> prompt = send_wait(&router, user + "\r\n");
  if (!prompt || code_of(*prompt) != 221) return LoginResult::kLost;
  std::optional<std::string> verdict = send_wait(&router, password + "\r\n");
  if (!verdict) return LoginResult::kLost;
  std::string text = trim(*verdict, "\f");
  return code_of(text) == 222 ? LoginResult::kAccepted : LoginResult::kRejected;
}

ReplyEnd control_command(client_class& router, const std::string& command,
                         const std::function<void(const std::string&)>& print) {
  ReplyEnd end;
  if (!send_out(&router, "%s\r\n", command.c_str())) return end;
  std::string word = splitStr(command, " ")[0];
  if (word.empty()) {
    return {true, 0, true};  // an empty first word has no reply
  }
  if (word == "clear") {
    return {std::fgetc(router.fin) == '\f', 0, true};
  }
  while (std::optional<std::string> line = get_line(router)) {
    print(*line);
    if (word == "help" || word == "?") {
      if (*line == "quit") return {true, 0, true};
      continue;
    }
    if (word == "identify") {
      if (starts_with(*line, "Version: ")) {
        read_trailing_lines(router, print);
        return {true, 0, true};
      }
      continue;
    }
    if (*line == "Unkown command") return {true, 0};
    int code = code_of(*line);
    if (code == 222 || code == 224 || code == 400) return {true, code};
  }
  return end;  // the router closed the connection first
}

int reply_exit_status(const ReplyEnd& end) {
  if (!end.complete) return 1;
  if (end.code == 222 || end.code == 400) return 0;
  return end.informational ? 0 : 1;
}
