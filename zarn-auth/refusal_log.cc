#include "zarn-auth/refusal_log.h"

#include "libzarn/format.h"

std::vector<std::string> RefusalLog::refused(const std::string& address, int open, time_t now) {
  std::vector<std::string> lines;
  auto [at, fresh] = entries_.try_emplace(address);
  Entry& entry = at->second;
  if (fresh || (entry.unreported == 0 && now - entry.last_line >= interval_)) {
    entry.last_line = now;
    lines.push_back(
        format("Client %s refused: %d connections already open from this address\n", address.c_str(), open));
    return lines;
  }
  ++entry.unreported;
  entry.open = open;
  if (now - entry.last_line >= interval_) lines.push_back(summary(address, entry, now));
  return lines;
}

std::vector<std::string> RefusalLog::due(time_t now) {
  std::vector<std::string> lines;
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& entry = it->second;
    if (now - entry.last_line < interval_) {
      ++it;
    } else if (entry.unreported > 0) {
      lines.push_back(summary(it->first, entry, now));
      ++it;
    } else {
      it = entries_.erase(it);
    }
  }
  return lines;
}

std::optional<time_t> RefusalLog::next_due() const {
  std::optional<time_t> next;
  for (const auto& [address, entry] : entries_) {
    time_t when = entry.last_line + interval_;
    if (!next || when < *next) next = when;
  }
  return next;
}

std::string RefusalLog::summary(const std::string& address, Entry& entry, time_t now) {
  std::string line = format("Client %s refused %d more times in %ld seconds: %d connections already open\n",
                            address.c_str(), entry.unreported, static_cast<long>(now - entry.last_line), entry.open);
  entry.last_line = now;
  entry.unreported = 0;
  return line;
}
