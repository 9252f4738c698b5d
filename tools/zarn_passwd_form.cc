#include "tools/zarn_passwd_form.h"

#include <cstdio>

#include "libzarn/mcrypt.h"

std::optional<std::string> stored_password_hex(const std::string& key, const std::string& password) {
  std::optional<std::string> cipher = mcrypt_encrypt("tripledes", key.c_str(), password.c_str(), "ecb", kIvRand);
  if (!cipher) return std::nullopt;
  std::string hex;
  // The daemons read the column as a zero-terminated string.
  for (const char* p = cipher->c_str(); *p; ++p) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(*p));
    hex += byte;
  }
  return hex;
}
