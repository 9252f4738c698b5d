#include "libzarn/gate_forward.h"

#include "libzarn/module.h"

namespace {

constexpr const char* kAccessModule = "mod_access.so";
constexpr BindFailureRule kGateRule{"session-reaper: cannot open shared module %s\n", "session-reaper: %s\n", 2, 2};

int call_once(const char* symbol) {
  BoundEntry bound = bind_entry_or_exit(kAccessModule, symbol, kGateRule);
  int returned = reinterpret_cast<int (*)()>(bound.entry)();
  bound.module.reset();
  return returned;
}

}  // namespace

int gate_forward(const char* ip, const char* mac, int op) {
  // This handle keeps the module, and so the classes init_handlers loads and
  // the changes forward leaves pending, in memory until close_handlers commits.
  BoundEntry forward = bind_entry_or_exit(kAccessModule, "forward", kGateRule);
  call_once("init_handlers");
  int returned = reinterpret_cast<int (*)(const char*, const char*, int, int)>(forward.entry)(ip, mac, op, 0);
  call_once("close_handlers");
  forward.module.reset();
  return returned;
}
