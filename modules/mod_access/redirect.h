// Port-80 marks (mark 80) on the web traffic of unpaid clients, in the
// mangle chain of each client address's /24.
#pragma once

extern "C" {
// type 1 adds the marks of every address of the client, 0 removes them.
// 1 when nothing failed; 0 otherwise or when the client has no address.
int redirect_notifier(const char* cid, int type, const char* other_ports);
}
