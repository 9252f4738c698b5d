// gw-runner: carries out one privileged command for the gateway's daemons and
// reports through its exit status (1 success, anything else failure).
#include <grp.h>
#include <openssl/ssl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "gw-runner/dispatch.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/module.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "libzarn/sql.h"

namespace {

constexpr const char* kCallerAccount = "zarn";
constexpr const char* kRunnerLog = ZARN_PATH("logs/gw-runner.log");
// The only search path a root process of ours uses.
constexpr const char* kSafePath = "/usr/sbin:/usr/bin:/sbin:/bin";

// Exit statuses of start-up.
constexpr int kStatusRefused = 3;
constexpr int kStatusSetuid = 10;
constexpr int kStatusSetgid = 11;

void term(int) {
  signal_safe_log(kRunnerLog, "Term signal recived.\n");
  _exit(0);
}

void segv(int) {
  signal_safe_log(kRunnerLog, "Segmentation fault.\n");
  _exit(0);
}

// Only the account "zarn" may run the runner (and so become root through it).
bool caller_is_zarn() {
  const struct passwd* account = getpwnam(kCallerAccount);
  return account && getuid() == account->pw_uid && getgid() == account->pw_gid;
}

// The database client library starts OpenSSL with its configuration file and
// all its error texts, about half a millisecond of every run. The runner's
// connection never uses TLS; starting OpenSSL first without them makes the
// library's own start find nothing left to do.
void start_openssl_lean() {
  OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                   nullptr);
}

// Whether the verb's one module call goes to the access module (the verbs
// that call two modules are left out: the second must not meet the first).
bool calls_access_module_once(int argc, char** argv) {
  auto is = [&](int i, const char* word) { return i < argc && std::strcmp(argv[i], word) == 0; };
  if (is(1, "internet")) return is(2, "client_start") || is(2, "client_stop") || is(2, "id_start") || is(2, "id_stop");
  return is(1, "macwatch") || is(1, "redirect") || is(1, "ZarnAuth") || is(1, "zarn-gate");
}

}  // namespace

int main(int argc, char** argv) {
  // A set-user-id program must not let its caller's variables steer the
  // libraries it loads (extension directories, plugin directories, locale).
  clearenv();
  setenv("PATH", kSafePath, 1);

  set_signal(SIGQUIT, term);
  set_signal(SIGINT, term);
  set_signal(SIGSEGV, segv);

  if (!caller_is_zarn()) return kStatusRefused;
  if (argc < 2) return kStatusRefused;

  if (setuid(0) != 0) return kStatusSetuid;
  if (setgid(0) != 0) return kStatusSetgid;
  setgroups(0, nullptr);  // keep none of the caller's supplementary groups

  conf_file = ZARN_ROUTER_CONF;
  extern_error_log = kRunnerLog;

  start_openssl_lean();
  int result;
  {
    // The module is loaded while the server answers the connection; the call
    // loads it again as always, and this handle only keeps it mapped until
    // the call is over. A failure here says nothing: the call's own load logs it.
    std::unique_ptr<LoadedModule> early;
    auto load_early = [&] {
      std::string ignored;
      if (calls_access_module_once(argc, argv)) early = LoadedModule::open("mod_access.so", &ignored);
    };
    mysql_r = sql_connect_overlapped(load_early);
    SqlConnectionScope connection;
    result = dispatch(argc, argv);
  }
  write_log("ExitCode: %d\n", result);
  return result == 1 ? 1 : 2;
}
