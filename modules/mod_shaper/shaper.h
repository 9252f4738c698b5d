// The shaping module: the HTB tree of every device of a router and
// the per-client changes. The exported names are the module's
// interface; the functions in namespace shaper do the work into a TcBatch,
// which an entry point runs when it returns.
#pragma once

#include <string>

#include "modules/mod_shaper/tc_batch.h"

extern "C" {
// Non-zero: progress lines in the log. 0 at load; no host sets it.
extern int debug_bandwidth;

// 1 builds, 0 removes the shaping of every device of the router. 1 for
// types 0 and 1, else 0. Type 1 closes the host's connection and clears mysql_r.
int restrict_load(int type, int router_id);
// Removes the root qdisc of every device of the router; 1 when it has devices.
int restrict_devdel(int router_id);
// Root qdisc, classes 1:1 and 1:15 on every active shaped device; 1 when there are active devices.
int restrict_devadd(int router_id);
// The metro (1:10) or extern (1:20) class, its fw filter and its pfifo.
void add_class_metro(const char* device, const char* mark, const char* rate);
void add_class_extern(const char* device, const char* mark, const char* rate);
// Loads the seven kernel modules in order; 0 at the first that does not load.
int restrict_modprobe(void);
// One client on every active device of the router.
int restrict_user_add(const char* client_id, int router_id);
int restrict_user_update(const char* client_id, int router_id);
int restrict_user_remove(const char* client_id, int router_id);
}

namespace shaper {

int load(TcBatch& batch, int type, int router_id);
int devdel(TcBatch& batch, int router_id);
int devadd(TcBatch& batch, int router_id);
void class_metro(TcBatch& batch, const char* device, const char* mark, const char* rate);
void class_extern(TcBatch& batch, const char* device, const char* mark, const char* rate);
// restrict_modprobe with the modprobe program given.
int modprobe_all(const std::string& program);
int user_add(TcBatch& batch, const char* client_id, int router_id);
int user_update(TcBatch& batch, const char* client_id, int router_id);
int user_remove(TcBatch& batch, const char* client_id, int router_id);

}  // namespace shaper
