#include "libzarn/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libzarn/format.h"
#include "libzarn/log.h"

DefaultChildSignal::DefaultChildSignal() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGCHLD, &dfl, &saved_);
}

DefaultChildSignal::~DefaultChildSignal() { sigaction(SIGCHLD, &saved_, nullptr); }

int ProgramRun::exit_code() const { return started() && waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

ProgramRun run_in_child(const std::function<void()>& in_child) {
  DefaultChildSignal child_signal;
  ProgramRun run;
  run.pid = fork();
  if (run.pid < 0) {
    run.wait_errno = errno;
    return run;
  }
  if (run.pid == 0) {
    in_child();
    _exit(127);  // in_child ends the child itself; this is only a guard
  }
  errno = 0;
  run.waited = wait_pid(&run.status, run.pid);
  run.wait_errno = errno;
  return run;
}

ProgramRun run_program(const char* path, const std::vector<std::string>& argv, int exec_failure, char* const* env) {
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  return run_in_child([&] {
    signal(SIGPIPE, SIG_DFL);
    if (env)
      execve(path, words.data(), env);
    else
      execv(path, words.data());
    _exit(exec_failure);
  });
}

std::optional<std::string> execute(int length, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string command = vformat(fmt, args);
  va_end(args);

  DefaultChildSignal child_signal;
  FILE* pipe = ::popen(command.c_str(), "re");
  if (!pipe) return std::nullopt;

  std::string output;
  if (length > 0) {
    output.resize(static_cast<size_t>(length));
    size_t got = std::fread(output.data(), 1, output.size(), pipe);
    output.resize(got);
  } else {
    char line[1024] = {};
    if (std::fgets(line, sizeof line, pipe)) output = line;
  }
  // Unread output is dropped: a writer that goes on may die of a broken pipe,
  // and then its status is not 0.
  int status = ::pclose(pipe);
  if (status != 0) return std::nullopt;
  // The caller treats the output as one zero-terminated text.
  output.resize(std::strlen(output.c_str()));
  return output;
}

pid_t wait_pid(int* status, pid_t pid) {
  pid_t result;
  do {
    result = ::waitpid(pid, status, 0);
  } while (result == -1 && errno == EINTR);
  return result;
}

bool fork_into_background(const char* started) {
  pid_t child = fork();
  if (child < 0) {
    // Nothing would run in the background: a failed start, not a started daemon.
    const char* why = std::strerror(errno);
    write_log("Error: Could not fork into daemon mode: %s\n", why);
    std::printf("Error: Could not fork into daemon mode: %s\n", why);
    return false;
  }
  if (child != 0) {
    std::printf("%s", started);
    return false;
  }
  return true;
}

int set_signal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
  return sigaction(signal, &action, nullptr) == 0 ? 0 : -1;
}

std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

void signal_safe_log(const char* path, const char* message) {
  int fd = open_log_for_append(path);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, message, std::strlen(message));
  (void)ignored;
  ::close(fd);
}
