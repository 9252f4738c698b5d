#include "libzarn/config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "libzarn/log.h"

std::optional<std::string> mysql_sock;
std::optional<std::string> mysql_host;
std::optional<std::string> mysql_user;
std::optional<std::string> mysql_passwd;
std::optional<std::string> mysql_dbname;
int mysql_cport = 0;

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void store(const ConfigKey& key, std::string_view value) {
  if (key.text) setval(*key.text, value);
  if (key.number) *key.number = std::atoi(std::string(value).c_str());
}

}  // namespace

void scan_config(std::string_view text, std::span<const ConfigKey> keys) {
  text = text.substr(0, text.find('\0'));  // the file is scanned as one C string
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    while (i < n && text[i] == '\n') ++i;
    while (i < n && text[i] == '#') {
      while (i < n && text[i] != '\n') ++i;
      while (i < n && text[i] == '\n') ++i;
    }
    if (i >= n) break;

    // A key ends only at a blank, a tab or the end of the text: a line feed
    // inside it joins the next line into the key.
    size_t key_start = i;
    while (i < n && !is_blank(text[i])) ++i;
    std::string_view key = text.substr(key_start, std::min(i - key_start, kConfigFieldMax));
    if (key.empty()) break;  // a line led by a blank ends the file

    while (i < n && is_blank(text[i])) ++i;
    size_t value_start = i;
    while (i < n && text[i] != '\n') ++i;
    std::string_view value = text.substr(value_start, std::min(i - value_start, kConfigFieldMax));

    for (const ConfigKey& k : keys) {
      if (key.size() == std::strlen(k.name) && strncasecmp(key.data(), k.name, key.size()) == 0) {
        store(k, value);
        break;
      }
    }
  }
}

int setval(std::optional<std::string>& slot, std::string_view value) {
  slot = std::string(value);
  return 1;
}

int parse_mysql(std::string_view text) {
  static const ConfigKey keys[] = {
      {"mysql_sock", &mysql_sock},     {"mysql_host", &mysql_host},     {"mysql_user", &mysql_user},
      {"mysql_passwd", &mysql_passwd}, {"mysql_dbname", &mysql_dbname}, {"mysql_port", nullptr, &mysql_cport},
  };
  scan_config(text, keys);
  return 1;
}

int file_exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 ? 1 : 0;
}

long long get_filesize(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

std::optional<std::string> file_get_contents(const char* path) {
  long long size = get_filesize(path);
  if (size <= 0) return std::nullopt;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    write_log("Couldn't open %s for reading: %s\n", path, std::strerror(errno));
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(size), '\0');
  ssize_t got = ::read(fd, text.data(), text.size());
  int read_errno = errno;
  ::close(fd);
  if (got < 0) {
    write_log("Couldn't read %s: %s\n", path, std::strerror(read_errno));
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(got));
  return text;
}
