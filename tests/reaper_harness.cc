#include "tests/reaper_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/testing.h"

namespace zarn_test {

namespace {
const char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
}  // namespace

Reaper::Reaper(long offset) {
  out_ = "/zarn/logs/reaper-stdout";
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::string preload = std::string("LD_PRELOAD=") + kFaketime;
    std::string faketime = "FAKETIME=+" + std::to_string(offset) + "s";
    // A sanitizer build would refuse a preloaded library before its runtime;
    // and the clock library edits the environment, dropping a string that
    // the process title had moved to the heap, which the leak check reports.
    const char* env[] = {preload.c_str(),
                         faketime.c_str(),
                         "NO_FAKE_STAT=1",
                         "FAKETIME_DONT_RESET=1",
                         "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
                         nullptr};
    execle(kReaper.c_str(), kReaper.c_str(), "-d", nullptr, env);
    _exit(127);
  }
}

int Reaper::wait_for_exit(int seconds) { return zarn_test::wait_for_exit(pid_, seconds); }

int Reaper::interrupt() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGINT);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Reaper::output() const { return read_file(out_); }

Reaper::~Reaper() {
  if (pid_ > 0) interrupt();
}

bool log_shows(const std::string& text) {
  return eventually([&] { return read_file(kLog).find(text) != std::string::npos; }, 10);
}

}  // namespace zarn_test
