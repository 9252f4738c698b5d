#include "zarn-router/diagnostic.h"

#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "zarn-router/router_globals.h"

namespace {

constexpr char kTimeoutReply[] = "300 Command trapped by timeout: 30s.\r\n";

void arm_timer(int seconds) {
  itimerval timer{};
  timer.it_value.tv_sec = seconds;
  timer.it_interval.tv_sec = seconds;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// Puts SIGCHLD, SIGALRM and the timer back as they were before the run.
class RunSignals {
 public:
  explicit RunSignals(int seconds) {
    set_signal(SIGALRM, pclose_timeout);
    arm_timer(seconds);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &saved_child_);
  }
  ~RunSignals() {
    sigaction(SIGCHLD, &saved_child_, nullptr);
    set_signal(SIGALRM, SIG_DFL);
    arm_timer(0);
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

 private:
  struct sigaction saved_child_ {};
};

// Reads what the tool writes: up to `limit` bytes, or one line when 0.
std::string read_output(int fd, int limit) {
  std::string output;
  const size_t wanted = limit > 0 ? static_cast<size_t>(limit) : kMaxToolLine;
  char buf[4096];
  while (output.size() < wanted) {
    size_t room = std::min(sizeof buf, wanted - output.size());
    if (limit == 0) room = 1;  // one line: stop right behind its line feed
    ssize_t n = read(fd, buf, room);
    if (n < 0 && errno == EINTR) continue;  // the time-out struck; the run goes on
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
    if (limit == 0 && buf[0] == '\n') break;
  }
  return output;
}

}  // namespace

std::optional<std::string> tool_command_line(const std::vector<std::string>& words) {
  std::string line = ZARN_RUNNER;
  for (const std::string& word : words) {
    line += ' ';
    line += shell_quote(word);
  }
  if (line.size() > kMaxToolLine) return std::nullopt;
  return line;
}

std::optional<std::string> exec_command(int output_limit, const std::string& command_line, int seconds) {
  RunSignals signals(seconds);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  pid_t shell = fork();
  if (shell < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (shell == 0) {
    dup2(fds[1], STDOUT_FILENO);
    signal(SIGPIPE, SIG_DFL);  // a tool writing into a dropped pipe ends
    execl("/bin/sh", "sh", "-c", command_line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string output = read_output(fds[0], output_limit);
  close(fds[0]);  // unread output is dropped; a writer that goes on gets a broken pipe
  int status = 0;
  if (wait_pid(&status, shell) != shell || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  output.resize(std::strlen(output.c_str()));  // one zero-terminated text
  return output;
}

void pclose_timeout(int) {
  int saved_errno = errno;
  pid_t killer = fork();
  if (killer == 0) {
    signal(SIGPIPE, SIG_DFL);
    char* const argv[] = {const_cast<char*>("gw-runner"), const_cast<char*>("kill"), const_cast<char*>("tcpdump"),
                          nullptr};
    char* const envp[] = {nullptr};
    execve(ZARN_RUNNER, argv, envp);
    _exit(5);
  }
  if (killer > 0) {
    int status;
    while (waitpid(killer, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (cl && cl->fdout >= 0) {
    ssize_t ignored = write(cl->fdout, kTimeoutReply, sizeof kTimeoutReply - 1);
    (void)ignored;
  }
  errno = saved_errno;
}
