#include "tests/macwatch_workers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

namespace zarn_test {

MacwatchWorkers::MacwatchWorkers() {
  // The output goes to a file: the workers keep the launcher's descriptors.
  std::string out = dir_.file("out");
  pid_t launcher = fork();
  if (launcher == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl("/zarn/bin/macwatch", "/zarn/bin/macwatch", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (!eventually([&] { return waitpid(launcher, &status, WNOHANG) == launcher; }, 10)) {
    kill(launcher, SIGKILL);
    waitpid(launcher, &status, 0);
  }
  output_ = read_file(out);
  static const std::regex started("STARTED PID: ([0-9]+)");
  for (std::sregex_iterator it(output_.begin(), output_.end(), started), end; it != end; ++it)
    pids_.push_back(std::stoi((*it)[1]));
}

MacwatchWorkers::~MacwatchWorkers() {
  for (pid_t pid : pids_) kill(pid, SIGKILL);
}

bool MacwatchWorkers::all_alive() const {
  for (pid_t pid : pids_)
    if (kill(pid, 0) != 0) return false;
  return true;
}

}  // namespace zarn_test
