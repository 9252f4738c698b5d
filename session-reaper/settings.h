// Settings of the session expiry daemon, from the login service's configuration.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// What the daemon reads from its configuration file.
struct ReaperSettings {
  std::optional<std::string> session_dir;
  int exp_time = 0;         // seconds after which an unrenewed session expires
  int verify_interval = 0;  // seconds between two scans
};

ReaperSettings parse_reaper_settings(std::string_view text);

// The limits the daemon accepts: expiry above 60 s, interval above 10 s, a directory.
bool settings_valid(const ReaperSettings& settings);
