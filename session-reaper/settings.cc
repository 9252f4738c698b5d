#include "session-reaper/settings.h"

#include "libzarn/config.h"

ReaperSettings parse_reaper_settings(std::string_view text) {
  ReaperSettings s;
  const ConfigKey keys[] = {
      {"session_dir", &s.session_dir},
      {"expiration_time", nullptr, &s.exp_time},
      {"verify_interval", nullptr, &s.verify_interval},
  };
  scan_config(text, keys);
  return s;
}

bool settings_valid(const ReaperSettings& s) { return s.exp_time > 60 && s.session_dir && s.verify_interval > 10; }
