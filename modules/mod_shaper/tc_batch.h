// Running tc and modprobe without a shell: the program's fixed path, an
// argument vector, an environment of PATH alone, output to /dev/null.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "libzarn/process.h"

// The tc lines of one entry-point call, carried out in order by one
// `tc -force -batch -` process that reads them from a pipe while the caller
// is still producing them; a failing line does not stop the ones after it.
// A recording batch keeps the lines instead (for tests).
class TcBatch {
 public:
  enum class Mode { kRun, kRecord };
  explicit TcBatch(Mode mode = Mode::kRun);
  ~TcBatch();  // finishes
  TcBatch(const TcBatch&) = delete;
  TcBatch& operator=(const TcBatch&) = delete;

  // Queues one line: tc's words without the program name, each value in it
  // already checked (values.h), so that the batch reader splits it as meant.
  void add(std::string_view line);
  // Sends what is queued, ends tc's input and waits for tc. Nothing is run
  // when no line was added. The batch can be used again afterwards.
  void finish();

  size_t count() const { return count_; }
  const std::vector<std::string>& recorded() const { return recorded_; }

 private:
  bool start();
  void flush();

  Mode mode_;
  std::string pending_;
  std::vector<std::string> recorded_;
  size_t count_ = 0;
  pid_t pid_ = -1;
  int input_ = -1;
  bool broken_ = false;
  struct sigaction saved_pipe_ {};
  std::optional<DefaultChildSignal> child_signal_;  // while tc runs
};

// Runs `argv` (argv[0] a full path) and waits; true when it exited with 0.
bool run_quietly(const std::vector<std::string>& argv);

// The first of the fixed places of a program that exists, or "".
std::string find_program(const char* name);
