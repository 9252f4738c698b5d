#include "session-reaper/session_file.h"

#include <cstdlib>
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
  return f.complete && std::atoi(f.client_id.c_str()) != 0 && check_mac(f.mac.c_str()) == 1;
}

bool session_expired(time_t ctime, time_t now, int exp_time) { return ctime < now - exp_time; }
