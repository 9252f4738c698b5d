// Starts a program the way the daemons start the runner (fork, drop to the
// account zarn, exec, wait) a number of times and prints the median and the
// 99th percentile of the wall time in milliseconds.
//   spawn_timer RUNS PROGRAM [ARG...]      ("{i}" in an argument becomes the run number)
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: spawn_timer RUNS PROGRAM [ARG...]\n");
    return 64;
  }
  int runs = std::atoi(argv[1]);
  const passwd* account = getpwnam("zarn");
  if (!account) return 65;
  std::vector<double> ms;
  int failures = 0;
  for (int i = 1; i <= runs; ++i) {
    std::vector<std::string> words(argv + 2, argv + argc);
    for (auto& w : words)
      if (auto at = w.find("{i}"); at != std::string::npos) w.replace(at, 3, std::to_string(i));
    std::vector<char*> args;
    for (auto& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) || setgid(account->pw_gid) || setuid(account->pw_uid)) _exit(126);
      char* env[] = {nullptr};
      execve(args[0], args.data(), env);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) ++failures;
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
  std::printf("median %.2f ms, p99 %.2f ms, runs %d, not status 1: %d\n", at(0.5), at(0.99), runs, failures);
  return 0;
}
