#include "libzarn/module.h"

#include <dlfcn.h>
#include <cstdlib>
#include <unistd.h>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "libzarn/paths.h"

std::unique_ptr<LoadedModule> LoadedModule::open(const char* file, std::string* error) {
  std::string path = format("%s/%s", ZARN_MODULE_DIR, file);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char* text = dlerror();
    *error = text ? text : "unknown error";
    return nullptr;
  }
  return std::unique_ptr<LoadedModule>(new LoadedModule(handle));
}

LoadedModule::~LoadedModule() { dlclose(handle_); }

void* LoadedModule::symbol(const char* name, std::string* error) const {
  dlerror();
  void* entry = dlsym(handle_, name);
  // A set error text right after the lookup is what counts as a missing symbol.
  if (const char* text = dlerror()) {
    *error = text;
    return nullptr;
  }
  return entry;
}

BoundEntry bind_entry(const char* file, const char* symbol, const BindFailureRule& rule) {
  BoundEntry bound;
  std::string error;
  bound.module = LoadedModule::open(file, &error);
  if (!bound.module) {
    write_log(rule.load_message, error.c_str());
    bound.failure_status = rule.load_status;
    return bound;
  }
  bound.entry = bound.module->symbol(symbol, &error);
  if (!bound.entry) {
    write_log(rule.symbol_message, error.c_str());
    bound.module.reset();
    bound.failure_status = rule.symbol_status;
  }
  return bound;
}

BoundEntry bind_entry_or_exit(const char* file, const char* symbol, const BindFailureRule& rule) {
  BoundEntry bound = bind_entry(file, symbol, rule);
  if (bound.failure_status != 0) std::exit(bound.failure_status);
  return bound;
}
