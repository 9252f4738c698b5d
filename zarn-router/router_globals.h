// Process-wide state of the router control daemon: its settings and identity,
// the listening socket and the connection a connection process serves.
#pragma once

#include <sys/time.h>

#include <optional>
#include <string>

#include "libzarn/paths.h"
#include "libzarn/socket.h"

// The daemon's settings, from its two configuration files and its row of
// internet_routers; read once at start-up, before the listener forks.
struct GLOBALS {
  std::optional<std::string> master_server;  // the only peer allowed a session
  std::optional<std::string> port;           // listenport
  std::optional<std::string> inetaddr;       // listenaddr; also the identity key
  std::optional<std::string> iptables;       // stored only
  std::optional<std::string> modprobe;       // stored only
  std::optional<std::string> crypt_key;      // key of the password cipher
  std::optional<std::string> internal_eth;   // stored only
  std::optional<std::string> router_user;    // from the identity row
  std::optional<std::string> router_pass;    // enciphered, up to its first zero byte
  std::optional<std::string> router_name;    // from the identity row
  std::optional<std::string> other_ports;    // from the notifier file
  int crypt_type = 0;                        // stored only
  timeval timeout{30, 0};                    // idle time-out of a session
  int router_id = 0;
};

extern GLOBALS g;
// The listening socket (-1 when none).
extern int s;
// The connection this process serves; empty in the listener.
extern ClientRecord cl;

inline constexpr const char* kRouterLog = ZARN_PATH("logs/zarn-router.log");
inline constexpr const char* kNotifierConf = ZARN_PATH("conf/zarn-notifier.conf");
