// macwatch: learns the MAC addresses of the router's subscribers and keeps
// their host state. The launcher reads the configuration, finds the router in
// the database, starts the three workers and exits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/proctitle.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "macwatch/config.h"
#include "macwatch/state.h"
#include "macwatch/workers.h"

namespace {

constexpr const char* kGreen = "\e[;32m";
constexpr const char* kRed = "\e[;31m";
constexpr const char* kNormal = "\e[00m";

// Makes the log file readable and writable for everybody. A link planted in
// its place is not followed, and a missing file stays missing.
void open_log_to_everybody(const char* path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, 0666);
  close(fd);
}

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

// Logs and prints why the launch stops; the exit status is 0.
int abort_launch(const char* logged, const char* printed) {
  write_log("%s", logged);
  say(printed);
  return 0;
}

// Finds the router by its address: false (after the messages) when it is
// unknown or has the id 0.
bool find_router() {
  SqlResult result = sql_query(mysql_r, "select rname,id from internet_routers where ip = '%s'",
                               slash_this(*macwatch_settings.inetaddr).c_str());
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  if (!row) {
    abort_launch("MACWATCH: Could not aquire router name.\n", "MACWATCH: Could not aquire router name.");
    return false;
  }
  router_name = row[0] ? row[0] : "";
  router_id = row[1] ? std::atoi(row[1]) : 0;
  if (router_id == 0) {
    abort_launch("MACWATCH: Router ID cannot be 0.\n", "MACWATCH: Router ID cannot be 0.");
    return false;
  }
  return true;
}

void status_line(const char* name, pid_t pid) {
  if (pid > 0)
    std::printf("%s STARTED PID: %d\t[%s OK %s]\n", name, static_cast<int>(pid), kGreen, kNormal);
  else
    std::printf("%s STARTED \t[%s FAILED %s]\n", name, kRed, kNormal);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Before the database library or anything else can keep pointers into the
  // environment, which the title later overwrites.
  initproctitle(argc, argv);
  conf_file = kMacwatchConf;
  extern_error_log = kMacwatchLog;
  std::signal(SIGPIPE, SIG_IGN);

  open_log_to_everybody(kMacwatchLog);
  if (argc == 2 && std::strcmp(argv[1], "-v") == 0) {
    std::printf("Version: %s\n", macwatch_version);
    return 0;
  }
  debug_arp = argc == 2 && std::strcmp(argv[1], "-d") == 0;

  constexpr const char* kCannotStart = "MACWATCH: Cannot read config or cannot connect to mysql.\nAborting launch.";
  constexpr const char* kCannotStartLog = "MACWATCH: Cannot read config or cannot connect to mysql.Aborting launch.\n";
  if (!read_config(conf_file)) return abort_launch(kCannotStartLog, kCannotStart);
  if (debug_arp) say("Conf read ok");
  mysql_r = sql_connect();
  if (!mysql_r) return abort_launch(kCannotStartLog, kCannotStart);
  if (debug_arp) say("Mysql conn ok");

  if (!macwatch_settings_complete()) {
    abort_launch("MACWATCH: Missing variables from config.Aborting launch.\n",
                 "MACWATCH: Missing variables from config.Aborting launch.");
    sql_close(mysql_r);
    mysql_r = nullptr;
    return 0;
  }
  if (!find_router()) return 0;
  sql_close(mysql_r);  // each worker makes its own
  mysql_r = nullptr;
  setproctitle("zarn-arp: system initializing");

  if (debug_arp) {
    arp_pinger();  // runs here and ends the process
    return 0;
  }
  const pid_t finder = macwatch();
  status_line("MACWATCH", finder);
  const pid_t reader = arp_reader();
  status_line("ARP_READER", reader);
  const pid_t pinger = arp_pinger();
  status_line("ARP_PINGER", pinger);
  if (finder > 0 && reader > 0 && pinger > 0) return 1;
  // Without all three workers the launch failed: the ones that did start are
  // stopped, so that a second launch does not run them twice.
  for (pid_t pid : {finder, reader, pinger})
    if (pid > 0) kill(pid, SIGINT);
  return abort_launch("MACWATCH: Could not start every worker.Aborting launch.\n",
                      "MACWATCH: Could not start every worker.Aborting launch.");
}
