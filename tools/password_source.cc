#include "tools/password_source.h"

#include <cstdlib>

#include "libzarn/config.h"

std::optional<std::string> read_password(const char* file, const char* variable) {
  if (file) {
    std::optional<std::string> text = file_get_contents(file);
    if (!text) return std::nullopt;
    return text->substr(0, text->find_first_of("\r\n"));
  }
  if (const char* value = std::getenv(variable)) return std::string(value);
  return std::nullopt;
}
