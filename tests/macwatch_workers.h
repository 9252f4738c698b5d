// The installed ARP monitor started as its service would start it: the
// launcher ends, its three workers go on running until this test ends them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/testing.h"

namespace zarn_test {

// The workers of one launch, killed when it goes out of scope.
class MacwatchWorkers {
 public:
  MacwatchWorkers();
  ~MacwatchWorkers();
  MacwatchWorkers(const MacwatchWorkers&) = delete;
  MacwatchWorkers& operator=(const MacwatchWorkers&) = delete;
  // The process ids of the status lines.
  const std::vector<pid_t>& pids() const { return pids_; }
  bool all_alive() const;
  // What the launcher printed.
  const std::string& output() const { return output_; }

 private:
  TempDir dir_;
  std::string output_;
  std::vector<pid_t> pids_;
};

}  // namespace zarn_test
