// Parsing without applying: one iptables command line read with the
// extensions libxtables loads, checked and thrown away. Nothing reaches the
// rule tables; the interpreter's fatal errors still go to libxtables'
// exit_err handler (xt_params->exit_err).
#pragma once

// Prepares libxtables (once) and parses argv[1..argc-1] (argv[0] is a
// placeholder). 1 when the line is well-formed, negative when it is not.
int parse_command_line(int argc, char** argv);
