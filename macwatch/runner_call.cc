#include "macwatch/runner_call.h"

#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <unistd.h>

#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"

namespace {

// In the child: becomes the account zarn and replaces itself with the runner.
[[noreturn]] void exec_runner_as_zarn(const char* id, int start) {
  const passwd* account = getpwnam("zarn");
  if (!account || setgroups(1, &account->pw_gid) != 0 || setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) {
    write_log("Cannot set uid and gid to user zarn in macwatch.\n");
    _exit(4);
  }
  // The worker's database connection stays with the worker.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  const char* argv[] = {"gw-runner", "macwatch", id, start ? "start" : "stop", nullptr};
  execv(ZARN_RUNNER, const_cast<char* const*>(argv));
  _exit(5);
}

}  // namespace

int internet_op(const char* id, int start) {
  ProgramRun run = run_in_child([&] { exec_runner_as_zarn(id, start); });
  if (!run.started()) {
    write_log("Could not execute wrapper to add client: %s\n", id);
    return 0;
  }
  if (run.exit_code() == 1) {
    write_log("Success: %s\n", id);
    return 1;
  }
  write_log("Wrapper returned %d when adding client: %s\n", run.exit_code(), id);
  return 0;
}
