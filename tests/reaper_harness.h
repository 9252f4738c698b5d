// The session expiry daemon as the tests run it: installed under /zarn, in the
// foreground, its clock moved with libfaketime (file times stay real) so that
// sessions are old without waiting for them.
#pragma once

#include <sys/types.h>

#include <string>

namespace zarn_test {

inline const std::string kReaper = "/zarn/bin/session-reaper";
inline const std::string kLog = "/zarn/logs/session-reaper.log";
inline const std::string kSessions = "/zarn/auth_sessions";

// The daemon in the foreground with its clock moved forward by `offset` seconds.
class Reaper {
 public:
  explicit Reaper(long offset);
  ~Reaper();
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;
  // Waits for the daemon to end by itself (up to `seconds`); -1 when it did not.
  int wait_for_exit(int seconds);
  // Interrupts it and gives its exit status.
  int interrupt();
  std::string output() const;

 private:
  pid_t pid_ = -1;
  std::string out_;
};

// Waits until the daemon's log holds `text` (at most ten seconds).
bool log_shows(const std::string& text);

}  // namespace zarn_test
