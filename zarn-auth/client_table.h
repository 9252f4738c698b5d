// The listener's live connection processes, counted by the peer address each
// one serves, so that one address cannot take every process and database
// connection of the service.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <unordered_map>

// Live connection processes of the listener, by process id and by address.
class ClientTable {
 public:
  // A connection process was forked for `address`.
  void add(pid_t pid, in_addr_t address);
  // Reaps every ended child of this process (waitpid(-1, WNOHANG)) and
  // forgets those that were connection processes.
  void reap();
  // Live connection processes serving `address`.
  int count(in_addr_t address) const;
  // Live connection processes in all.
  size_t size() const { return addresses_.size(); }

 private:
  void forget(pid_t pid);

  std::unordered_map<pid_t, in_addr_t> addresses_;
  std::unordered_map<in_addr_t, int> counts_;
};
