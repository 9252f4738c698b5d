#include "macwatch/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "macwatch/state.h"

namespace zarn_test {

void load_lan_router(TestDatabase& db) {
  db.exec(
      "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.2.1'), (2, 'r2', '10.9.9.1');"
      "INSERT INTO internal_net (rid, net, host_min, host_max, gw, device) VALUES"
      " (1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'), '10.1.2.1', 'lan0'),"
      " (2, '10.9.9.0/24', INET_ATON('10.9.9.1'), INET_ATON('10.9.9.254'), '10.9.9.1', 'lan9');");
}

void add_setting(TestDatabase& db, int id, int router, const std::string& ip, const std::string& mac, int active,
                 int hostup) {
  std::ostringstream sql;
  sql << "INSERT INTO internet_clients (id, remote) VALUES (" << id << "," << router << ");"
      << "INSERT INTO internet_settings (id, cid, rid, ip, mac, active, hostup) VALUES (" << id << "," << id << ","
      << router << ",'" << ip << "','" << mac << "'," << active << "," << hostup << ")";
  db.exec(sql.str());
}

std::string setting_value(TestDatabase& db, int id, const std::string& column) {
  Rows rows = db.query("SELECT " + column + " FROM internet_settings WHERE id = " + std::to_string(id));
  return rows.empty() ? "(no row)" : rows[0][0];
}

void configure_macwatch(TestDatabase& db, const std::string& keys) {
  require_private_netns();
  for (const auto& entry : std::filesystem::directory_iterator("/zarn/logs")) std::filesystem::remove_all(entry.path());
  write_file(kMacwatchConf, db.config_lines() + keys);
}

std::string macwatch_log() { return read_file(kMacwatchLog); }

void host_workers(TestDatabase& db) {
  parse_mysql(db.config_lines());
  conf_file = kMacwatchConf;
  extern_error_log = kMacwatchLog;
  router_id = 1;
  debug_arp = 0;
}

int wait_for_child(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

int interrupt_and_wait(pid_t pid, int seconds) {
  kill(pid, SIGINT);
  return wait_for_child(pid, seconds);
}

MacwatchProcess::MacwatchProcess(const std::vector<std::string>& args) {
  std::string out = dir_.file("out");
  std::vector<std::string> argv{"/zarn/bin/macwatch"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
}

MacwatchProcess::~MacwatchProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int MacwatchProcess::wait(int seconds) {
  int status = wait_for_child(pid_, seconds);
  pid_ = -1;
  return status;
}

}  // namespace zarn_test
