// Opening or closing one address's forwarding through the access module, as
// the gate's hosts do: the module stays loaded from init_handlers to close_handlers.
#pragma once

// Loads mod_access, calls init_handlers, forward(ip, mac, op, 0) and
// close_handlers. The value forward returned; a module or entry point that
// cannot be had logs and ends the process with status 2.
int gate_forward(const char* ip, const char* mac, int op);
