#include "modules/mod_access/table_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <xtables.h>

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
  if (!session.handle) return;
  iptc_commit(session.handle);
  iptc_free(session.handle);
  session.handle = nullptr;
  release_table_lock();
}
