// Settings of the login service (/zarn/conf/zarn-auth.conf).
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The login service's own settings record, named after its keys.
struct AuthSettings {
  std::optional<std::string> auth_port;
  std::optional<std::string> auth_listen_on;
  int add_forward_src = 0;     // read and kept; nothing acts on it
  int add_forward_dst = 0;     // read and kept; nothing acts on it
  int connections_per_ip = 0;  // read and kept; nothing acts on it
  int block_after_failed = 0;  // read and kept; nothing acts on it
  std::optional<std::string> crypt_key;
  int ping_client_time = 0;  // seconds between two keep-alive probes
  int client_timeout = 0;    // seconds one read or write may wait
  // Live connection processes one peer address may have; the text as written.
  std::optional<std::string> max_clients_per_address;
  // Seconds the login dialogue may take in all; the text as written.
  std::optional<std::string> login_timeout;
};

// Limit of live connection processes per peer address when the key is
// missing or out of range.
inline constexpr int kDefaultClientsPerAddress = 4;
inline constexpr int kMaxClientsPerAddress = 1000;

// The per-address limit the settings ask for, and whether the key was usable.
struct ClientsPerAddress {
  int limit = kDefaultClientsPerAddress;
  bool valid = true;  // false: the key holds something other than 1..1000
};

// Seconds that the three lines of the login dialogue (user name, password,
// gateway) may take together, and again the closing lines, when the key is
// missing or out of range. A client program answers each prompt at once: even
// on a slow, lossy link the three round trips take a few seconds, while a peer
// that trickles a byte just before each read would time out could otherwise
// hold a process and a database connection for days.
inline constexpr int kDefaultLoginTimeout = 60;
inline constexpr int kMinLoginTimeout = 10;
inline constexpr int kMaxLoginTimeout = 600;

// The login time limit the settings ask for, and whether the key was usable.
struct LoginTimeout {
  int seconds = kDefaultLoginTimeout;
  bool valid = true;  // false: the key holds something other than 10..600
};

// Scans the configuration text for the login service's keys; returns 1.
int parse_auth_config(std::string_view text, AuthSettings& settings);

// client_timeout must lie between 10 and 180 seconds inclusive.
bool client_timeout_valid(const AuthSettings& settings);
// ping_client_time must be at least 5 seconds.
bool ping_time_valid(const AuthSettings& settings);
// max_clients_per_address: a whole number from 1 to 1000; missing gives the
// default, anything else the default marked invalid.
ClientsPerAddress clients_per_address(const AuthSettings& settings);
// login_timeout: a whole number of seconds from 10 to 600; missing gives the
// default, anything else the default marked invalid.
LoginTimeout login_timeout(const AuthSettings& settings);
