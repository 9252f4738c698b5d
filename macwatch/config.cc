#include "macwatch/config.h"

#include "libzarn/config.h"
#include "macwatch/state.h"

void parse_macwatch_config(std::string_view text) {
  const ConfigKey keys[] = {
      {"listenaddr", &macwatch_settings.inetaddr},
      {"path_iptables", &macwatch_settings.iptables},
      {"path_modprobe", &macwatch_settings.modprobe},
      {"internal_eth", &macwatch_settings.internal_eth},
  };
  scan_config(text, keys);
  parse_mysql(text);
}

bool read_config(const char* path) {
  std::optional<std::string> text = file_get_contents(path);
  if (!text) return false;
  parse_macwatch_config(*text);
  return true;
}

bool macwatch_settings_complete() {
  const MacwatchSettings& s = macwatch_settings;
  return s.inetaddr && s.iptables && s.modprobe && s.internal_eth;
}
