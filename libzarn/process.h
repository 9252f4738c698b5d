// Running other programs, waiting for children and installing signal handlers.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs the formatted command line through the shell and gives its output:
// with `length` above 0 at most that many bytes, with 0 one line of at most
// 1023 characters. Nothing when the command cannot start or exits non-zero.
std::optional<std::string> execute(int length, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Waits for the child, again after an interrupted wait. The result of the last wait.
pid_t wait_pid(int* status, pid_t pid);

// SIGCHLD at its default action while it lives, so that a child's status can
// be waited for (a caller that ignores SIGCHLD would never see it); the
// previous disposition comes back at its end.
class DefaultChildSignal {
 public:
  DefaultChildSignal();
  ~DefaultChildSignal();
  DefaultChildSignal(const DefaultChildSignal&) = delete;
  DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;

 private:
  struct sigaction saved_ {};
};

// How a child started by run_in_child or run_program ended.
struct ProgramRun {
  pid_t pid = -1;      // the child, or -1 when the fork failed
  pid_t waited = -1;   // what the wait gave
  int status = 0;      // the wait status
  int wait_errno = 0;  // errno right after the fork failed or the wait returned
  bool started() const { return pid > 0; }
  // The child's exit status; -1 when it was not started, not waited for, or killed.
  int exit_code() const;
};

// Forks and runs `in_child` in the child, which must end there (exec or
// _exit); the parent waits for it with SIGCHLD at its default action.
ProgramRun run_in_child(const std::function<void()>& in_child);

// Forks and executes `path` with `argv` (argv[0] the name the program sees),
// SIGPIPE back at its default action in the child (a daemon's ignoring is not
// the program's business) and `env` as its environment when one is given; the
// child ends with `exec_failure` when the program cannot be executed.
ProgramRun run_program(const char* path, const std::vector<std::string>& argv, int exec_failure,
                       char* const* env = nullptr);

// Forks a daemon into the background. True in the child, which goes on as the
// daemon. False in the parent, which has printed `started` and should end, and
// false when the fork failed, which is logged and printed with its reason.
bool fork_into_background(const char* started);

// Installs `handler` without restarting interrupted system calls. 0 or -1.
int set_signal(int signal, void (*handler)(int));

// Quotes one word for the shell so that it reaches the program unchanged.
std::string shell_quote(const std::string& word);

// Writes a fixed message to a file from a signal handler: only
// async-signal-safe calls (open, write, close).
void signal_safe_log(const char* path, const char* message);
