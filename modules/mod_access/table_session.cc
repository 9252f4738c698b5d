#include "modules/mod_access/table_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <xtables.h>

#include <algorithm>
#include <cerrno>

namespace {

// The lock the iptables programs take too: held from reading a table to
// committing it, so that two processes changing one table at the same time
// cannot each commit a copy that lacks the other's change.
constexpr const char* kTableLock = "/run/xtables.lock";
int lock_fd = -1;

void take_table_lock() {
  if (lock_fd >= 0) return;
  lock_fd = open(kTableLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock_fd < 0) return;  // without /run the tables are changed unguarded, as before
  while (flock(lock_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void release_table_lock() {
  if (lock_fd < 0) return;
  close(lock_fd);  // closing the descriptor releases the lock
  lock_fd = -1;
}

}  // namespace

xtc_handle* open_table(const char* table) {
  xtc_handle* h = iptc_init(table);
  if (!h) {
    // The kernel's modprobe program loads the table module; then one more try.
    xtables_load_ko(xtables_modprobe_program, false);
    h = iptc_init(table);
  }
  return h;
}

xtc_handle* session_table(TableSession& session, const std::string& table) {
  if (session.held) {
    for (auto& [name, h] : session.held_tables)
      if (name == table) return h;
    xtc_handle* h = open_table(table.c_str());
    if (h) session.held_tables.emplace_back(table, h);
    return h;
  }
  if (session.handle && table != session.prev_table) session_close(session);
  if (!session.handle) {
    take_table_lock();
    session.handle = open_table(table.c_str());
    if (session.handle)
      session.prev_table = table;
    else
      release_table_lock();
  }
  return session.handle;
}

void session_close(TableSession& session) {
  if (session.held || !session.handle) return;
  iptc_commit(session.handle);
  iptc_free(session.handle);
  session.handle = nullptr;
  release_table_lock();
}

void session_hold(TableSession& session) {
  if (session.held) return;
  session_close(session);
  take_table_lock();
  session.held = true;
}

std::vector<RefusedTable> session_commit_held(TableSession& session, const std::vector<std::string>& last) {
  std::vector<std::pair<std::string, xtc_handle*>> order;
  for (auto& entry : session.held_tables)
    if (std::find(last.begin(), last.end(), entry.first) == last.end()) order.push_back(entry);
  for (const std::string& table : last)
    for (auto& entry : session.held_tables)
      if (entry.first == table) order.push_back(entry);
  std::vector<RefusedTable> refused;
  for (auto& [table, h] : order) {
    if (!iptc_commit(h)) refused.push_back({table, iptc_strerror(errno)});
    iptc_free(h);
  }
  session.held_tables.clear();
  session.held = false;
  release_table_lock();
  return refused;
}
