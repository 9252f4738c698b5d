#include "zarn-router/diagnostic.h"

#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "zarn-router/router_globals.h"

namespace {

constexpr char kTimeoutReply[] = "300 Command trapped by timeout: 30s.\r\n";

// The SIGALRM handler writes one byte here per time-out; the run reads them
// and does the work, since a handler may not fork.
int timeout_pipe[2] = {-1, -1};

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
    if (pipe2(timeout_pipe, O_CLOEXEC | O_NONBLOCK) != 0) timeout_pipe[0] = timeout_pipe[1] = -1;
    set_signal(SIGALRM, pclose_timeout);
    arm_timer(seconds);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &saved_child_);
  }
  ~RunSignals() {
    sigaction(SIGCHLD, &saved_child_, nullptr);
    // The timer first: a SIGALRM that came after the reset would end the process.
    arm_timer(0);
    set_signal(SIGALRM, SIG_DFL);
    for (int& fd : timeout_pipe) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

 private:
  struct sigaction saved_child_ {};
};

// What a time-out asks for: the runner stops captures, then the peer is told.
void stop_captures_and_tell_the_peer() {
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
}

// Handles every time-out the handler has recorded since the last call.
void handle_timeouts() {
  char bytes[16];
  ssize_t n;
  while ((n = read(timeout_pipe[0], bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i) stop_captures_and_tell_the_peer();
}

// Reads what the tool writes: up to `limit` bytes, or one line when 0.
std::string read_output(int fd, int limit) {
  std::string output;
  const size_t wanted = limit > 0 ? static_cast<size_t>(limit) : kMaxToolLine;
  char buf[4096];
  while (output.size() < wanted) {
    pollfd waits[2] = {{fd, POLLIN, 0}, {timeout_pipe[0], POLLIN, 0}};
    if (poll(waits, timeout_pipe[0] >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;  // the time-out struck; its byte is waiting
      break;
    }
    if (waits[1].revents & POLLIN) handle_timeouts();
    if (!waits[0].revents) continue;
    size_t room = std::min(sizeof buf, wanted - output.size());
    if (limit == 0) room = 1;  // one line: stop right behind its line feed
    ssize_t n = read(fd, buf, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
    if (limit == 0 && buf[0] == '\n') break;
  }
  return output;
}

// Waits for the shell; time-outs that strike meanwhile are still handled.
bool shell_ended_well(pid_t shell) {
  int status = 0;
  for (;;) {
    handle_timeouts();
    pid_t waited = waitpid(shell, &status, 0);
    if (waited == shell) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (waited < 0 && errno != EINTR) return false;
  }
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
  if (!shell_ended_well(shell)) return std::nullopt;
  output.resize(std::strlen(output.c_str()));  // one zero-terminated text
  return output;
}

void pclose_timeout(int) {
  int saved_errno = errno;
  if (timeout_pipe[1] >= 0) {
    ssize_t ignored = write(timeout_pipe[1], "t", 1);
    (void)ignored;
  }
  errno = saved_errno;
}
