// Building the router's whole netfilter layout from the database, and
// resetting it.
#pragma once

extern "C" {
// op 1 builds (start, restart), 0 resets (stop). 1 + the number of failed commands.
int firewall_operation(int op, int rid, const char* other_ports);
// Opens the paid clients and marks the unpaid ones of router rid.
int op_firewall(int op, int rid, const char* other_ports);
// Reports addresses held by more than one setting.
void find_duplicate_recs();
// Ends every open gate login, removing its session file.
void close_auth_sessions();
void ip_forward(int value);
void ip_conntrack_max(int value);
void neigh_increase(int value);
void route_max_size(int value);
}
