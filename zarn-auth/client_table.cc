#include "zarn-auth/client_table.h"

#include <sys/wait.h>

void ClientTable::add(pid_t pid, in_addr_t address) {
  addresses_[pid] = address;
  ++counts_[address];
}

void ClientTable::reap() {
  pid_t pid;
  int status;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) forget(pid);
}

void ClientTable::forget(pid_t pid) {
  auto entry = addresses_.find(pid);
  if (entry == addresses_.end()) return;
  auto count = counts_.find(entry->second);
  if (count != counts_.end() && --count->second <= 0) counts_.erase(count);
  addresses_.erase(entry);
}

int ClientTable::count(in_addr_t address) const {
  auto count = counts_.find(address);
  return count == counts_.end() ? 0 : count->second;
}
