// Rate limit of the log line about connections refused for their address: a
// flood of refused connections must not fill the disk.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The lines to log about refused connections, per peer address: the first
// refusal at once, then at most one summary line per interval with the count
// of refusals not yet reported.
class RefusalLog {
 public:
  explicit RefusalLog(time_t interval_seconds = 10) : interval_(interval_seconds) {}
  // A connection from `address` was refused at `now` with `open` processes
  // already serving it; the lines to log now (none, one or two).
  std::vector<std::string> refused(const std::string& address, int open, time_t now);
  // Summary lines that are due at `now`; forgets addresses that went quiet.
  std::vector<std::string> due(time_t now);
  // When the next summary falls due; nothing when none is pending.
  std::optional<time_t> next_due() const;

 private:
  // What was logged and what is waiting for one address.
  struct Entry {
    time_t last_line = 0;  // when a line about the address was last logged
    int unreported = 0;    // refusals since then
    int open = 0;          // open processes at the last refusal
  };
  std::string summary(const std::string& address, Entry& entry, time_t now);

  time_t interval_;
  std::unordered_map<std::string, Entry> entries_;
};
