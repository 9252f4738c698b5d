// What the monitor's tests share: a router of the database on the subscriber
// LAN, its configuration, workers started in the test process and the
// installed program started in the background.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/testing.h"

namespace zarn_test {

// Router 1 ("r1", 10.1.2.1) with the internal network 10.1.2.0/24 on lan0;
// router 2 ("r2", 10.9.9.1) with 10.9.9.0/24 on lan9.
void load_lan_router(TestDatabase& db);
// A setting with its own client (the same id) of `router`.
void add_setting(TestDatabase& db, int id, int router, const std::string& ip, const std::string& mac, int active,
                 int hostup = 0);
std::string setting_value(TestDatabase& db, int id, const std::string& column);

// The monitor's configuration file: database keys, then `keys`.
inline const std::string kRouterKeys =
    "listenaddr 10.1.2.1\npath_iptables /usr/sbin/iptables\npath_modprobe /usr/sbin/modprobe\ninternal_eth lan0\n";
void configure_macwatch(TestDatabase& db, const std::string& keys = kRouterKeys);
std::string macwatch_log();

// Makes this process a worker's host: database settings, files, router 1.
void host_workers(TestDatabase& db);
// Sends SIGINT to a child and waits up to `seconds` for it: its exit status,
// or -1 when it did not end (it is then killed).
int interrupt_and_wait(pid_t pid, int seconds);
// Waits for a child up to `seconds`: its exit status, or -1 (killed).
int wait_for_child(pid_t pid, int seconds);

// The installed program started with `args`, its output going to a file.
class MacwatchProcess {
 public:
  explicit MacwatchProcess(const std::vector<std::string>& args);
  ~MacwatchProcess();
  MacwatchProcess(const MacwatchProcess&) = delete;
  MacwatchProcess& operator=(const MacwatchProcess&) = delete;
  pid_t pid() const { return pid_; }
  std::string output() const { return read_file(dir_.file("out")); }
  // Its exit status (-1 when it did not end within `seconds`).
  int wait(int seconds);

 private:
  TempDir dir_;
  pid_t pid_ = -1;
};

}  // namespace zarn_test
