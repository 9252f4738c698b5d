#include "zarn-router/router_config.h"

#include "libzarn/config.h"
#include "zarn-router/router_globals.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 30;

}  // namespace

int read_config(const char* path) {
  std::optional<std::string> text = file_get_contents(path);
  if (!text) return 0;
  return parse_router_config(*text);
}

int parse_router_config(std::string_view text) {
  g.timeout = {kDefaultTimeoutSeconds, 0};
  g.crypt_type = 0;
  int timeout_seconds = 0;
  const ConfigKey keys[] = {
      {"listenport", &g.port},
      {"listenaddr", &g.inetaddr},
      {"master_server", &g.master_server},
      {"crypt_key", &g.crypt_key},
      {"client_timeout", nullptr, &timeout_seconds},
      {"crypt_type", nullptr, &g.crypt_type},
      {"path_iptables", &g.iptables},
      {"path_modprobe", &g.modprobe},
      {"internal_eth", &g.internal_eth},
  };
  scan_config(text, keys);
  // 0, a negative value or no number at all keeps the default.
  if (timeout_seconds > 0) g.timeout = {timeout_seconds, 0};
  return 1;
}

int read_notifier_config(const char* path) {
  g.other_ports.reset();
  std::optional<std::string> text = file_get_contents(path);
  if (!text) return 0;
  return parse_notifier_config(*text);
}

int parse_notifier_config(std::string_view text) {
  const ConfigKey keys[] = {{"other_ports", &g.other_ports}};
  scan_config(text, keys);
  return 1;
}
