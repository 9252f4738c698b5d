// Starts programs the way the daemons start the runner (fork, drop to the
// account zarn, exec, wait) a number of times and prints, per command line,
// the median, the 90th and the 99th percentile of the wall time in ms, and the
// median processor time (user and system) of the started process.
//   spawn_timer RUNS PROGRAM [ARG...] [-- PROGRAM [ARG...]]...
// Several command lines separated by "--" are run in turn, one run of each per
// round, so that a shared machine's noise falls on all of them alike. In an
// argument "{i}" becomes the round number (1 to RUNS) and "{Ki+M}" becomes
// K times the round number plus M (for example "{10i+1}": 11, 21, 31, ...).
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// One command line to time and what its runs gave.
struct Command {
  std::vector<std::string> words;
  std::vector<double> ms;
  std::vector<double> cpu_ms;
  int failures = 0;
};

// Replaces the first "{i}" or "{Ki+M}" of a word with its value for round i.
std::string substitute(std::string word, int i) {
  size_t open = word.find('{');
  size_t close = word.find('}', open);
  if (open == std::string::npos || close == std::string::npos) return word;
  std::string inner = word.substr(open + 1, close - open - 1);
  long k = 1, m = 0;
  if (inner != "i") {
    char rest = 0;
    if (std::sscanf(inner.c_str(), "%ldi+%ld%c", &k, &m, &rest) != 2) return word;
  }
  return word.replace(open, close - open + 1, std::to_string(k * i + m));
}

double in_ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// Runs one command as zarn and returns its wall time; *ok tells whether it exited with status 1.
double run_once(Command& c, int round, const passwd* account, bool* ok) {
  std::vector<std::string> words;
  for (const auto& w : c.words) words.push_back(substitute(w, round));
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
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  c.cpu_ms.push_back(in_ms(usage.ru_utime) + in_ms(usage.ru_stime));
  auto t1 = std::chrono::steady_clock::now();
  *ok = WIFEXITED(status) && WEXITSTATUS(status) == 1;
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: spawn_timer RUNS PROGRAM [ARG...] [-- PROGRAM [ARG...]]...\n");
    return 64;
  }
  int runs = std::atoi(argv[1]);
  const passwd* account = getpwnam("zarn");
  if (!account || runs < 1) return 65;
  std::vector<Command> commands(1);
  for (int a = 2; a < argc; ++a) {
    if (std::string(argv[a]) == "--") {
      commands.emplace_back();
      continue;
    }
    commands.back().words.push_back(argv[a]);
  }
  for (int i = 1; i <= runs; ++i) {
    for (Command& c : commands) {
      bool ok = false;
      c.ms.push_back(run_once(c, i, account, &ok));
      if (!ok) ++c.failures;
    }
  }
  for (Command& c : commands) {
    std::sort(c.ms.begin(), c.ms.end());
    std::sort(c.cpu_ms.begin(), c.cpu_ms.end());
    auto at = [&](const std::vector<double>& v, double q) {
      return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
    };
    std::printf("median %.2f ms, p90 %.2f ms, p99 %.2f ms, cpu %.2f ms, runs %d, not status 1: %d\n", at(c.ms, 0.5),
                at(c.ms, 0.9), at(c.ms, 0.99), at(c.cpu_ms, 0.5), runs, c.failures);
  }
  return 0;
}
