#include "session-reaper/session_file.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "libzarn/string_utils.h"

SessionFields parse_session_file(const std::string& content) {
  std::vector<std::string> parts = splitStr(content, ";");
  SessionFields f;
  if (parts.size() > 0) f.session = parts[0];
  if (parts.size() > 1) f.client_id = parts[1];
  if (parts.size() > 2) f.mac = parts[2];
  f.complete = parts.size() >= 3;
  return f;
}

bool session_fields_valid(const SessionFields& f) {
  return f.complete && std::atoi(f.client_id.c_str()) != 0 && session_mac(f.mac);
}

std::optional<std::string> session_mac(const std::string& field) {
  std::string_view text = field;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  std::string mac;
  size_t i = 0;
  for (int pair = 0; pair < 6; ++pair) {
    if (pair > 0) {
      if (i < text.size() && text[i] == ':') ++i;
      mac += ':';
    }
    for (int digit = 0; digit < 2; ++digit, ++i) {
      if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
      mac += text[i];
    }
  }
  if (i != text.size()) return std::nullopt;
  return mac;
}

bool session_expired(time_t ctime, time_t now, int exp_time) { return ctime < now - exp_time; }
