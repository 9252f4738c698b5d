// The rule-table handles kept open between iptables commands: changes collect
// in them and reach the kernel when another table is asked for or when the
// session is closed; a build holds one handle per table and commits them all
// together at its end.
#pragma once

#include <libiptc/libiptc.h>

#include <string>
#include <utility>
#include <vector>

// Open handle and the table it was opened on, or, while held, one handle per table.
struct TableSession {
  std::string prev_table = "filter";
  xtc_handle* handle = nullptr;
  bool held = false;
  std::vector<std::pair<std::string, xtc_handle*>> held_tables;  // in the order they were opened
};

// The handle for `table`: commits and frees a handle on another table first
// (unless held); opens (loading ip_tables once when opening fails). Null when
// it cannot be opened.
xtc_handle* session_table(TableSession& session, const std::string& table);

// Commits and frees the open handle, if any (the commit result is not
// examined). Does nothing while the session is held.
void session_close(TableSession& session);

// From now on every table keeps its own handle and nothing is committed until
// session_commit_held; the table lock is taken now and kept until then.
void session_hold(TableSession& session);

// One table that the kernel refused, with libiptc's reason.
struct RefusedTable {
  std::string table, reason;
};

// Commits every held handle, the tables named in `last` after the others and
// in that order, frees them and releases the lock. The tables the kernel refused.
std::vector<RefusedTable> session_commit_held(TableSession& session, const std::vector<std::string>& last);

// A fresh read-only snapshot of a table, loading ip_tables once when needed.
xtc_handle* open_table(const char* table);
