// The key/value scanner of the configuration files, over any text, with a key
// table of text and number keys (the database keys and a few of the daemons').
#include <optional>
#include <string>

#include "fuzz/fuzz_text.h"
#include "libzarn/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<std::string> port_text, listen_on, session_dir, crypt_key;
  int client_timeout = 0, expiration_time = 0;
  const ConfigKey keys[] = {
      {"auth_port", &port_text},
      {"auth_listen_on", &listen_on},
      {"session_dir", &session_dir},
      {"crypt_key", &crypt_key},
      {"client_timeout", nullptr, &client_timeout},
      {"expiration_time", nullptr, &expiration_time},
  };
  std::string_view text = as_text(data, size);
  scan_config(text, keys);
  parse_mysql(text);

  for (const std::optional<std::string>* slot : {&port_text, &listen_on, &session_dir, &crypt_key, &mysql_sock,
                                                 &mysql_host, &mysql_user, &mysql_passwd, &mysql_dbname}) {
    if (!*slot) continue;
    FUZZ_CHECK((*slot)->size() <= kConfigFieldMax);
    FUZZ_CHECK((*slot)->find('\n') == std::string::npos);
    FUZZ_CHECK((*slot)->find('\0') == std::string::npos);
  }
  for (std::optional<std::string>* slot : {&mysql_sock, &mysql_host, &mysql_user, &mysql_passwd, &mysql_dbname})
    slot->reset();
  return 0;
}
