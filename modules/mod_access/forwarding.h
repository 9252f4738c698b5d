// Opening and closing a client's forwarding: its address with its MAC in the
// set (or chain) of its network, for one address, one setting, one client.
#pragma once

extern "C" {
// op 1 opens, 0 closes; skip_lookup 1 skips removing older entries first.
int forward(const char* ip, const char* mac, int op, int skip_lookup);
int ipset_forward(const char* ip, const char* mac, const char* class_net, int op, int skip_lookup);
// One settings row (by id), all rows of a client, all rows of a login client.
int op_ip(const char* id, int op);
int op_client(const char* cid, int op);
int zarn_auth(int cid, int op);
}
