// Key/value configuration files and the database settings read from them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

// Database settings: unset until the configuration has been parsed.
extern std::optional<std::string> mysql_sock;
extern std::optional<std::string> mysql_host;  // its presence marks the settings as read
extern std::optional<std::string> mysql_user;
extern std::optional<std::string> mysql_passwd;
extern std::optional<std::string> mysql_dbname;
extern int mysql_cport;  // key mysql_port; used when reconnecting

// One key a scanner knows: exactly one of `text` and `number` is set.
struct ConfigKey {
  const char* name;
  std::optional<std::string>* text = nullptr;
  int* number = nullptr;
};

// Longest key and value the scanner keeps; the rest of a longer one is dropped.
inline constexpr size_t kConfigFieldMax = 64;

// Runs the key/value scanner over a whole file's text, storing each value whose
// key (compared without regard to case) is in `keys`. A line that begins with a
// blank or a tab ends the scan.
void scan_config(std::string_view text, std::span<const ConfigKey> keys);

// Stores a copy of `value` in `slot`; returns 1.
int setval(std::optional<std::string>& slot, std::string_view value);

// Scans `text` for the database keys; returns 1.
int parse_mysql(std::string_view text);

// 1 when stat succeeds on `path`.
int file_exists(const char* path);
// Size from stat, or -1.
long long get_filesize(const char* path);
// The whole file, or nothing (missing or empty files silently; an unreadable
// one with a log line).
std::optional<std::string> file_get_contents(const char* path);
