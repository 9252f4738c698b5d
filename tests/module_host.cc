// A host for the modules in tests: connects to the database of the router
// configuration, loads a module from the module directory and calls one of
// its entry points with the arguments given, printing what it returned.
//   module_host MODULE ENTRY [ARG...]
// Entry points and their argument types are those the runner and the
// session expiry daemon use. "firewall_exec" and "ipset_exec" run each ARG as
// one command line, then close_handlers. The variables ZARN_TEST_USE_IPSET,
// ZARN_TEST_USE_DESTINATION and ZARN_TEST_DEBUG set the module's switches.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libzarn/globals.h"
#include "libzarn/paths.h"
#include "libzarn/sql.h"

namespace {

const char* arg(int argc, char** argv, int i) { return i < argc ? argv[i] : nullptr; }
int num(int argc, char** argv, int i) { return i < argc ? std::atoi(argv[i]) : 0; }

// Sets an exported int switch of the module from a variable, when both exist.
void set_switch(void* module, const char* symbol, const char* variable) {
  const char* value = std::getenv(variable);
  auto* target = static_cast<int*>(dlsym(module, symbol));
  if (value && target) *target = std::atoi(value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: module_host MODULE ENTRY [ARG...]\n");
    return 64;
  }
  conf_file = ZARN_ROUTER_CONF;
  extern_error_log = ZARN_PATH("logs/module-host.log");
  mysql_r = sql_connect();
  std::string path = std::string(ZARN_MODULE_DIR) + "/" + argv[1];
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!module) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 65;
  }
  set_switch(module, "use_ipset", "ZARN_TEST_USE_IPSET");
  set_switch(module, "use_destination", "ZARN_TEST_USE_DESTINATION");
  set_switch(module, "debug_mod_internet", "ZARN_TEST_DEBUG");
  set_switch(module, "debug_mod_ipset", "ZARN_TEST_DEBUG");
  std::string entry = argv[2];
  auto started = std::chrono::steady_clock::now();
  void* sym = dlsym(module, entry.c_str());
  if (!sym) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 66;
  }
  int result;
  if (entry == "firewall_operation")
    result = reinterpret_cast<int (*)(int, int, const char*)>(sym)(num(argc, argv, 3), num(argc, argv, 4),
                                                                   arg(argc, argv, 5));
  else if (entry == "op_client" || entry == "op_ip")
    result = reinterpret_cast<int (*)(const char*, int)>(sym)(arg(argc, argv, 3), num(argc, argv, 4));
  else if (entry == "zarn_auth")
    result = reinterpret_cast<int (*)(int, int)>(sym)(num(argc, argv, 3), num(argc, argv, 4));
  else if (entry == "redirect_notifier")
    result = reinterpret_cast<int (*)(const char*, int, const char*)>(sym)(arg(argc, argv, 3), num(argc, argv, 4),
                                                                           arg(argc, argv, 5));
  else if (entry == "forward") {
    auto init = reinterpret_cast<int (*)()>(dlsym(module, "init_handlers"));
    auto close = reinterpret_cast<int (*)()>(dlsym(module, "close_handlers"));
    init();
    result = reinterpret_cast<int (*)(const char*, const char*, int, int)>(sym)(arg(argc, argv, 3), arg(argc, argv, 4),
                                                                                num(argc, argv, 5), num(argc, argv, 6));
    close();
  } else if (entry == "firewall_exec" || entry == "ipset_exec") {
    auto exec = reinterpret_cast<int (*)(const char*, ...)>(sym);
    for (int i = 3; i < argc; ++i) std::printf("%d ", exec("%s", argv[i]));
    reinterpret_cast<int (*)()>(dlsym(module, "close_handlers"))();
    result = 1;
  } else if (entry == "restrict_load")
    result = reinterpret_cast<int (*)(int, int)>(sym)(num(argc, argv, 3), num(argc, argv, 4));
  else {
    std::fprintf(stderr, "unknown entry point %s\n", entry.c_str());
    return 67;
  }
  if (std::getenv("ZARN_TEST_TIMING"))
    std::fprintf(
        stderr, "call: %lld us\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count()));
  std::printf("%d\n", result);
  dlclose(module);
  sql_close(mysql_r);
  return 0;
}
