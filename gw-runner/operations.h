// The runner's operations: each binds one module entry point (or a tool) and
// maps what it returned to the run's result.
#pragma once

// firewall_operation in the access module; 4 or 5 when it cannot be bound.
int op_internet(int op, int router_id, const char* other_ports);
// restrict_load in the shaping module; the caller ignores the result.
int op_restrict(int type, int router_id);
// op_client or op_ip in the access module (`entry` names which).
int internet_op(const char* entry, const char* id, int op);
int server_op(int action);
int service_op(const char* name, int action);
int auth_op(int client_id, int op);
int redirect_op(const char* client_id, int op, const char* other_ports);
// init_handlers, forward(address, mac, 1, 0), close_handlers, with the module
// held loaded across the three calls.
int start_client(const char* address, const char* mac);
// Replaces the process by the named diagnostic tool; returns 0 when it cannot.
int run_tool(const char* tool, char** argv);
