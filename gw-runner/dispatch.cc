#include "gw-runner/dispatch.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "gw-runner/operations.h"

namespace {

// Result values of the runner.
constexpr int kUnknownVerb = 0;
constexpr int kUnknownSubverb = 2;

// The arguments after the program name; a missing operand reads as null.
struct Words {
  int argc;
  char** argv;
  const char* at(int i) const { return i < argc ? argv[i] : nullptr; }
  bool is(int i, const char* word) const { return at(i) && std::strcmp(at(i), word) == 0; }
};

int internet(const Words& w) {
  const char* sub = w.at(2);
  const char* operand = w.at(3);
  // A missing operand is handled like an unknown sub-verb.
  if (!sub || !operand) return kUnknownSubverb;
  std::string_view s = sub;
  if (s == "start" || s == "restart" || s == "stop") {
    int op = s == "stop" ? 0 : 1;
    int router_id = std::atoi(operand);
    int result = op_internet(op, router_id, w.at(4));
    op_restrict(op, router_id);  // made whatever the firewall gave; ignored
    return result;
  }
  if (s == "client_start") return internet_op("op_client", operand, 1);
  if (s == "client_stop") return internet_op("op_client", operand, 0);
  if (s == "id_start") return internet_op("op_ip", operand, 1);
  if (s == "id_stop") return internet_op("op_ip", operand, 0);
  return kUnknownSubverb;
}

int server(const Words& w) {
  if (w.is(2, "reboot")) return server_op(1);
  if (w.is(2, "shutdown")) return server_op(2);
  return kUnknownVerb;
}

int redirect(const Words& w) {
  if (!w.at(3)) return kUnknownVerb;
  if (w.is(2, "start")) return redirect_op(w.at(3), 1, w.at(4));
  if (w.is(2, "stop")) return redirect_op(w.at(3), 0, w.at(4));
  return kUnknownVerb;
}

int macwatch(const Words& w) {
  if (w.at(2) && w.is(3, "start")) return internet_op("op_ip", w.at(2), 1);
  return kUnknownSubverb;
}

int service(const Words& w) {
  static const struct {
    const char* word;
    int action;
  } kActions[] = {{"start", 1}, {"stop", 0}, {"restart", 2}, {"reload", 3}};
  if (!w.at(2)) return kUnknownVerb;
  for (const auto& a : kActions)
    if (w.is(3, a.word)) return service_op(w.at(2), a.action);
  return kUnknownVerb;
}

int zarn_auth(const Words& w) {
  if (!w.at(2)) return kUnknownSubverb;
  int client_id = std::atoi(w.at(2));
  if (w.is(3, "start")) return auth_op(client_id, 1);
  if (w.is(3, "stop")) return auth_op(client_id, 0);
  return kUnknownSubverb;
}

int zarn_gate(const Words& w) {
  if (!w.at(2) || !w.at(3)) return kUnknownVerb;
  return start_client(w.at(2), w.at(3));
}

}  // namespace

int dispatch(int argc, char** argv) {
  Words w{argc, argv};
  std::string_view verb = w.at(1) ? w.at(1) : "";

  if (verb == "restrict") std::exit(1);
  if (verb == "kill") {
    int ignored = std::system("killall -9 tcpdump");
    (void)ignored;
    std::exit(2);
  }
  if (verb == "internet") return internet(w);
  if (verb == "server") return server(w);
  if (verb == "redirect") return redirect(w);
  if (verb == "macwatch") return macwatch(w);
  if (verb == "service") return service(w);
  if (verb == "ZarnAuth") return zarn_auth(w);
  if (verb == "zarn-gate") return zarn_gate(w);
  if ((verb == "arping" || verb == "tcpdump" || verb == "mtr") && argc > 2) return run_tool(argv[1], argv + 1);
  return kUnknownVerb;
}
