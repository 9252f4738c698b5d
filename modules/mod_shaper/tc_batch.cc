#include "modules/mod_shaper/tc_batch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libzarn/log.h"
#include "libzarn/process.h"

namespace {

// Queued bytes written to tc at a time: tc starts on the first lines while
// the rest are still being produced.
constexpr size_t kFlushBytes = 16 * 1024;
constexpr const char* kSearchOrder[] = {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"};
// tc and modprobe read variables such as TC_LIB_DIR or MODPROBE_OPTIONS: none is passed on.
constexpr const char* kEnvironment = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// Forks and executes argv with `input` as standard input (or /dev/null) and
// /dev/null as output. The child's id, or -1.
pid_t spawn(const std::vector<std::string>& argv, int input) {
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  char* env[] = {const_cast<char*>(kEnvironment), nullptr};
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null = open("/dev/null", O_RDWR);
  if (null < 0) _exit(127);
  dup2(input >= 0 ? input : null, 0);
  dup2(null, 1);
  dup2(null, 2);
  close_range(3, ~0U, 0);  // the database socket and every other descriptor stay behind
  signal(SIGPIPE, SIG_DFL);
  execve(args[0], args.data(), env);
  _exit(127);
}

}  // namespace

std::string find_program(const char* name) {
  for (const char* dir : kSearchOrder) {
    std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool run_quietly(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  DefaultChildSignal child_signal;
  pid_t pid = spawn(argv, -1);
  int status = 0;
  return pid > 0 && wait_pid(&status, pid) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TcBatch::TcBatch(Mode mode) : mode_(mode) {}

TcBatch::~TcBatch() { finish(); }

void TcBatch::add(std::string_view line) {
  ++count_;
  if (mode_ == Mode::kRecord) {
    recorded_.emplace_back(line);
    return;
  }
  pending_.append(line);
  pending_ += '\n';
  if (pending_.size() >= kFlushBytes) flush();
}

bool TcBatch::start() {
  std::string tc = find_program("tc");
  if (tc.empty()) {
    write_log("Bandwidth: cannot find tc\n");
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    write_log("Bandwidth: cannot make a pipe for tc: %s\n", std::strerror(errno));
    return false;
  }
  // A tc that ends early makes writes fail with EPIPE instead of ending this process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &saved_pipe_);
  child_signal_.emplace();
  pid_ = spawn({tc, "-force", "-batch", "-"}, fds[0]);
  close(fds[0]);
  if (pid_ < 0) {
    write_log("Bandwidth: cannot start tc: %s\n", std::strerror(errno));
    close(fds[1]);
    sigaction(SIGPIPE, &saved_pipe_, nullptr);
    child_signal_.reset();
    return false;
  }
  input_ = fds[1];
  return true;
}

void TcBatch::flush() {
  if (pending_.empty()) return;
  if (pid_ < 0 && !broken_ && !start()) broken_ = true;
  size_t done = 0;
  while (!broken_ && done < pending_.size()) {
    ssize_t n = write(input_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      write_log("Bandwidth: tc stopped reading its lines: %s\n", std::strerror(errno));
      broken_ = true;
      break;
    }
    done += static_cast<size_t>(n);
  }
  pending_.clear();
}

void TcBatch::finish() {
  flush();
  if (pid_ > 0) {
    close(input_);
    input_ = -1;
    int status = 0;
    if (wait_pid(&status, pid_) == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 127)
      write_log("Bandwidth: cannot run tc\n");
    pid_ = -1;
    sigaction(SIGPIPE, &saved_pipe_, nullptr);
    child_signal_.reset();
  }
  broken_ = false;
}
