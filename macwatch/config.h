// The monitor's configuration: the router's file, with the database keys and
// the four keys the monitor requires.
#pragma once

#include <string_view>

// Reads `path` into macwatch_settings and the database settings; false when
// the file cannot be read.
bool read_config(const char* path);

// Scans a configuration text into macwatch_settings and the database settings.
void parse_macwatch_config(std::string_view text);

// Whether listenaddr, path_iptables, path_modprobe and internal_eth were all given.
bool macwatch_settings_complete();
