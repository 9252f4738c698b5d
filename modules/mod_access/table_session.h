// The one rule-table handle kept open between iptables commands: changes
// collect in it and reach the kernel when another table is asked for or when
// the session is closed.
#pragma once

#include <libiptc/libiptc.h>

#include <string>

// Open handle and the table it was opened on.
struct TableSession {
  std::string prev_table = "filter";
  xtc_handle* handle = nullptr;
};

// The handle for `table`: commits and frees a handle on another table first;
// opens (loading ip_tables once when opening fails). Null when it cannot be opened.
xtc_handle* session_table(TableSession& session, const std::string& table);

// Commits and frees the open handle, if any (the commit result is not examined).
void session_close(TableSession& session);

// A fresh read-only snapshot of a table, loading ip_tables once when needed.
xtc_handle* open_table(const char* table);
