// State and switches of the access module, shared by its entry points.
#pragma once

#include "modules/mod_access/table_session.h"

extern "C" {
// 1: forwarding is an entry in a per-network ip set; 0: a rule in a per-network chain.
extern int use_ipset;
// 1 (chain mode only): also keep per-network destination chains.
extern int use_destination;
extern int debug_mod_internet;
extern int debug_mod_ipset;

int init_handlers();
int close_handlers();
// Formats and runs one iptables command line; 1 on success, 0 on failure.
int firewall_exec(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formats and runs one ip set command line; 1 on success, 0 on failure.
int ipset_exec(const char* format, ...) __attribute__((format(printf, 1, 2)));
}

#include <string>

// Runs an iptables line from an operator file: 1 or 0 as firewall_exec, -1
// when the interpreter would have ended the process on it (nothing applied;
// the interpreter's message is logged).
int firewall_exec_refusable(const std::string& line);

// The handlers of one entry-point call: init_handlers when made,
// close_handlers (which commits the open table) when it goes out of scope.
class HandlerScope {
 public:
  HandlerScope() { init_handlers(); }
  ~HandlerScope() { close_handlers(); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

// The rule-table handle that firewall_exec keeps open between commands.
TableSession& table_session();
