// The iptables command interpreter: one command line (as an argument vector)
// parsed with the extensions libxtables loads and applied to the open table
// handle of a session.
#pragma once

#include "modules/mod_access/table_session.h"

// Prepares libxtables for this process (once); its fatal errors log, print
// and end the process with status 2.
void iptables_init();

// In a forked child that only tries a line: a fatal error ends it with
// _exit(2) (no exit handlers, no stdio buffers flushed).
void iptables_fatal_ends_child();

// Runs the command in argv[1..argc-1] (argv[0] is a placeholder). 1 when
// libiptc applied it, 0 when libiptc refused (errno says why), negative for a
// malformed line or a table that cannot be opened.
int do_command(int argc, char** argv, TableSession& session);
