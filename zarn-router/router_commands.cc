#include "zarn-router/router_commands.h"

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "libzarn/config.h"
#include "libzarn/log.h"
#include "libzarn/string_utils.h"
#include "zarn-router/diagnostic.h"
#include "zarn-router/router_functions.h"
#include "zarn-router/router_globals.h"
#include "zarn-router/uptime.h"

namespace {

constexpr const char* kVersion = "1.2.0";
constexpr const char* kOsRelease = "/etc/slackware-version";

int reply_status(client_class& record, int runner_status) {
  send_out(&record, runner_status == kRunnerSuccess ? "222 Success.\r\n" : "224 Failure.\r\n");
  return 1;
}

int argument_missing(client_class& record) {
  send_out(&record, "224 Argument missing.\r\n");
  return 1;
}

int too_many_arguments(client_class& record) {
  send_out(&record, "224 Too many arguments.\r\n");
  return 1;
}

int wrong_argument(client_class& record) {
  send_out(&record, "224 Wrong argument.\r\n");
  return 1;
}

// One action word of a command and the runner action it stands for.
struct ActionWord {
  const char* word;
  const char* runner_action;
};

// The shared shape of client, setting, redirect and restrict: exactly three
// words, a known action, then the runner.
template <size_t N>
int id_command(client_class& record, const std::vector<std::string>& words, const ActionWord (&actions)[N],
               int (*launcher)(const std::string&, const std::string&)) {
  if (words.size() < 3) return argument_missing(record);
  if (words.size() > 3) return too_many_arguments(record);
  for (const ActionWord& action : actions)
    if (words[1] == action.word) return reply_status(record, launcher(action.runner_action, words[2]));
  return wrong_argument(record);
}

int firewall_op(client_class& record, const std::vector<std::string>& words) {
  if (words.size() >= 3) return too_many_arguments(record);
  if (words.size() < 2) return argument_missing(record);
  const std::string& action = words[1];
  if (action != "restart" && action != "start" && action != "stop") return wrong_argument(record);
  return reply_status(record, fire_command(action));
}

int client_op(client_class& record, const std::vector<std::string>& words) {
  static const ActionWord actions[] = {{"activate", "client_start"}, {"deactivate", "client_stop"}};
  return id_command(record, words, actions, client_command);
}

int setting_op(client_class& record, const std::vector<std::string>& words) {
  static const ActionWord actions[] = {{"activate", "id_start"}, {"deactivate", "id_stop"}};
  return id_command(record, words, actions, client_command);
}

int redirect_op(client_class& record, const std::vector<std::string>& words) {
  static const ActionWord actions[] = {{"activate", "start"}, {"deactivate", "stop"}};
  return id_command(record, words, actions, redirect_command);
}

int restrict_op(client_class& record, const std::vector<std::string>& words) {
  static const ActionWord actions[] = {{"activate", "start"}, {"deactivate", "stop"}, {"update", "update"}};
  return id_command(record, words, actions, restrict_command);
}

int run_tool(client_class& record, const std::vector<std::string>& words) {
  std::vector<std::string> tool_words(words.begin() + 1, words.end());
  std::optional<std::string> line = tool_command_line(tool_words);
  if (!line) return too_many_arguments(record);
  std::optional<std::string> output = exec_command(kToolOutputLimit, *line, kToolSeconds);
  send_out(&record, "%s\r\n", output ? output->c_str() : "");
  send_out(&record, "400 Command executed\r\n");
  return 1;
}

int system_op(client_class& record, const std::vector<std::string>& words) {
  if (words.size() < 2) return argument_missing(record);
  const std::string& action = words[1];
  if (action == "reboot" || action == "shutdown") return reply_status(record, system_command(action));
  if (action == "arping" || action == "tcpdump" || action == "mtr") return run_tool(record, words);
  return wrong_argument(record);
}

// A process id from the peer: decimal digits only, above 1 (0 and negative
// ids would address whole process groups, this daemon's own included).
std::optional<pid_t> peer_pid(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value <= 1 || value > INT_MAX) return std::nullopt;
  return static_cast<pid_t>(value);
}

int auth_op(client_class& record, const std::vector<std::string>& words) {
  if (words.size() < 3) return argument_missing(record);
  if (words[1] != "kill") return wrong_argument(record);
  std::optional<pid_t> pid = peer_pid(words[2]);
  if (!pid) return wrong_argument(record);
  write_log("Diconnecting zarn-auth client pid: %s\n", words[2].c_str());
  send_out(&record, kill(*pid, SIGQUIT) == 0 ? "222 Success.\r\n" : "224 Failure.\r\n");
  return 1;
}

int _ident(client_class& record, const std::vector<std::string>&) {
  send_out(&record, "Name: %s\r\n", g.router_name.value_or("").c_str());
  send_out(&record, "ID: %d\r\n", g.router_id);
  if (std::optional<std::string> line = uptime()) send_out(&record, "%s", line->c_str());
  send_out(&record, "Version: %s\r\n", kVersion);
  if (std::optional<std::string> os = file_get_contents(kOsRelease)) send_out(&record, "Os: %s\r\n", os->c_str());
  return 1;
}

int _clear(client_class& record, const std::vector<std::string>&) {
  send_out(&record, "\f");
  return 1;
}

int _help(client_class& record, const std::vector<std::string>&) {
  send_out(&record,
           "\nAvailable Commands:\r\n"
           "firewall      {start|stop|restart}\r\n"
           "client        {activate [cid]|deactivate [cid]}\r\n"
           "setting       {activate [id]|deactivate [id]}\r\n"
           "redirect      {activate [cid]|deactivate [cid]}\r\n"
           "restrict      {activate [cid]|deactivate [cid]|update [cid]}\r\n"
           "zarn-auth     (kill [pid]}\r\n"
           "system        {shutdown|reboot|arping|tcpdump|mtr}\r\n"
           "identify\r\n"
           "clear\r\n"
           "help\r\n"
           "quit\r\n");
  return 1;
}

int _cexit(client_class& record, const std::vector<std::string>&) {
  send_out(&record, "222 Good Bye.\r\n");
  return kEndSession;
}

int nothing(client_class&, const std::vector<std::string>&) { return 1; }

int unkown_cmd(client_class& record, const std::vector<std::string>&) {
  send_out(&record, "Unkown command\r\n");
  return 1;
}

}  // namespace

const RouterCommand router[] = {
    {"firewall", firewall_op},
    {"client", client_op},
    {"setting", setting_op},
    {"redirect", redirect_op},
    {"restrict", restrict_op},
    {"system", system_op},
    {"zarn-auth", auth_op},
    {"identify", _ident},
    {"clear", _clear},
    {"help", _help},
    {"?", _help},
    {"quit", _cexit},
    {"", nothing},
    {nullptr, unkown_cmd},
};

void commands(client_class& record, const RouterCommand* table) {
  while (std::optional<std::string> line = get_line(record)) {
    std::vector<std::string> words = splitStr(*line, " ");
    const RouterCommand* entry = table;
    while (entry->word && words[0] != entry->word) ++entry;
    if (entry->handler(record, words) == kEndSession) return;
  }
}
