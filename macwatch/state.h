// Process-wide state of the ARP monitor: its files, its settings and the
// flags its signal handlers and loops share.
#pragma once

#include <csignal>
#include <optional>
#include <string>

#include "libzarn/paths.h"

inline constexpr const char* kMacwatchConf = ZARN_ROUTER_CONF;
inline constexpr const char* kMacwatchLog = ZARN_PATH("logs/macwatch.log");
inline constexpr const char* macwatch_version = "2.0.1";

// The keys the monitor requires in the router's configuration file.
struct MacwatchSettings {
  std::optional<std::string> inetaddr;      // listenaddr: how the router is found in the database
  std::optional<std::string> iptables;      // path_iptables
  std::optional<std::string> modprobe;      // path_modprobe
  std::optional<std::string> internal_eth;  // internal_eth
};

extern MacwatchSettings macwatch_settings;
extern std::string router_name;
extern int router_id;  // never 0 once the workers run
extern int debug_arp;  // 1: only the pinger runs, in the foreground, and writes nothing
// Set by the first termination signal; the loops end at their next check.
extern volatile sig_atomic_t exiting;
// Worker number shown by the crash handler: 2 finder and reader, 1 pinger.
extern volatile sig_atomic_t child_int_id;
