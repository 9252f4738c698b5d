// Reading the router's configuration file and the notifier's.
#pragma once

#include <string_view>

// Reads and parses the router file; 0 when it gives nothing.
int read_config(const char* path);
// Sets the defaults (30-second time-out, crypt_type 0), then the file's keys; 1.
int parse_router_config(std::string_view text);
// Clears other_ports, then reads and parses the notifier file; 0 when it gives nothing.
int read_notifier_config(const char* path);
// Takes other_ports only; 1.
int parse_notifier_config(std::string_view text);
