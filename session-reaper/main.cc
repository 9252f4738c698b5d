// session-reaper: closes gate logins whose session file was not renewed in time.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "libzarn/proctitle.h"
#include "libzarn/sql.h"
#include "session-reaper/scan.h"
#include "session-reaper/settings.h"

namespace {

constexpr const char* kVersion = "1.0.2";
constexpr const char* kConf = ZARN_PATH("conf/zarn-auth.conf");
constexpr const char* kLog = ZARN_PATH("logs/session-reaper.log");

int debug_auth = 0;

// Prints and logs a fixed message from a signal handler, then ends.
void say_and_exit(const char* message) {
  ssize_t ignored = write(STDOUT_FILENO, message, std::strlen(message));
  (void)ignored;
  signal_safe_log(kLog, message);
  _exit(0);
}

void term_ok(int) { say_and_exit("Program exited ok.\n"); }
void term(int) { say_and_exit("Error program terminated abnormaly\n"); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "-v") == 0) {
    std::printf("Version: %s\n", kVersion);
    return 0;
  }
  debug_auth = argc == 2 && std::strcmp(argv[1], "-d") == 0;
  conf_file = kConf;
  extern_error_log = kLog;
  signal(SIGPIPE, SIG_IGN);

  initproctitle(argc, argv);
  setproctitle("zarn-session-reaper: reading config...");

  std::optional<std::string> text = file_get_contents(kConf);
  if (!text) {
    log_and_print("session-reaper: Cannot read config.\nAborting launch.\n");
    return 0;
  }
  ReaperSettings settings = parse_reaper_settings(*text);

  mysql_r = sql_connect();
  if (!mysql_r) {
    log_and_print("session-reaper: Cannot  connect to mysql.\nAborting launch.\n");
    return 0;
  }

  if (!debug_auth) {
    pid_t pid = fork();
    if (pid < 0) {
      // No daemon would run: a failed start-up, not a started one.
      log_and_print("session-reaper: Could not fork into background.\nAborting launch.\n");
      return 0;
    }
    if (pid != 0) return 1;  // the daemon goes on in the child
  }

  set_signal(SIGQUIT, term_ok);
  set_signal(SIGINT, term_ok);
  set_signal(SIGSEGV, term);

  if (!settings_valid(settings)) {
    write_log("session-reaper: Please check config variables.\nAborting launch.\n");
    return 1;
  }
  setproctitle("zarn-session-reaper: running...");

  while (search(*settings.session_dir, settings)) sleep(static_cast<unsigned>(settings.verify_interval));
  return 0;
}
