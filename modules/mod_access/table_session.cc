#include "modules/mod_access/table_session.h"

#include <xtables.h>

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
    session.handle = open_table(table.c_str());
    if (session.handle) session.prev_table = table;
  }
  return session.handle;
}

void session_close(TableSession& session) {
  if (!session.handle) return;
  iptc_commit(session.handle);
  iptc_free(session.handle);
  session.handle = nullptr;
}
