#include "zarn-auth/auth_config.h"

#include "libzarn/config.h"

int parse_auth_config(std::string_view text, AuthSettings& s) {
  const ConfigKey keys[] = {
      {"auth_port", &s.auth_port},
      {"auth_listen_on", &s.auth_listen_on},
      {"add_forward_src", nullptr, &s.add_forward_src},
      {"add_forward_dst", nullptr, &s.add_forward_dst},
      {"connections_per_ip", nullptr, &s.connections_per_ip},
      {"block_after_failed", nullptr, &s.block_after_failed},
      {"crypt_key", &s.crypt_key},
      {"ping_client_time", nullptr, &s.ping_client_time},
      {"client_timeout", nullptr, &s.client_timeout},
      {"max_clients_per_address", &s.max_clients_per_address},
      {"login_timeout", &s.login_timeout},
  };
  scan_config(text, keys);
  return 1;
}

bool client_timeout_valid(const AuthSettings& s) { return s.client_timeout >= 10 && s.client_timeout <= 180; }

bool ping_time_valid(const AuthSettings& s) { return s.ping_client_time >= 5; }

namespace {

// The value of a text that is a whole number from `low` to `high`, or nothing.
std::optional<int> whole_number_in(const std::string& text, int low, int high) {
  bool digits = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
  int value = digits ? std::stoi(text) : 0;
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

ClientsPerAddress clients_per_address(const AuthSettings& s) {
  if (!s.max_clients_per_address) return {};
  std::optional<int> value = whole_number_in(*s.max_clients_per_address, 1, kMaxClientsPerAddress);
  if (!value) return {kDefaultClientsPerAddress, false};
  return {*value, true};
}

LoginTimeout login_timeout(const AuthSettings& s) {
  if (!s.login_timeout) return {};
  std::optional<int> value = whole_number_in(*s.login_timeout, kMinLoginTimeout, kMaxLoginTimeout);
  if (!value) return {kDefaultLoginTimeout, false};
  return {*value, true};
}
