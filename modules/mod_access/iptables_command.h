// The iptables command interpreter: one command line (as an argument vector)
// parsed with the extensions libxtables loads and applied to the open table
// handle of a session.
#pragma once

#include "modules/mod_access/table_session.h"

// Prepares libxtables for this process (once); its fatal errors log, print
// and end the process with status 2.
void iptables_init();

// Runs the command in argv[1..argc-1] (argv[0] is a placeholder). 1 when
// libiptc applied it, 0 when libiptc refused (errno says why), negative for a
// malformed line or a table that cannot be opened.
int do_command(int argc, char** argv, TableSession& session);
