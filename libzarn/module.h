// A module loaded from the module directory for one call and unloaded after it.
#pragma once

#include <memory>
#include <string>

// Owner of one dlopen handle (RTLD_NOW | RTLD_GLOBAL); dlclose on destruction.
class LoadedModule {
 public:
  // Loads ZARN_MODULE_DIR/file; null with the loader's error text on failure.
  static std::unique_ptr<LoadedModule> open(const char* file, std::string* error);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  // The entry point, or null with the loader's error text.
  void* symbol(const char* name, std::string* error) const;

 private:
  explicit LoadedModule(void* handle) : handle_(handle) {}
  void* handle_;
};

// Messages and outcomes for a module that cannot be loaded or lacks the entry point.
struct BindFailureRule {
  const char* load_message;    // format with the loader's error text
  const char* symbol_message;  // format with the loader's error text
  int load_status;             // exit status (or result, for the firewall pair)
  int symbol_status;
};

// A bound entry point with the module that holds it.
struct BoundEntry {
  std::unique_ptr<LoadedModule> module;
  void* entry = nullptr;
  int failure_status = 0;  // 0 when bound; else the rule's status for what failed
};

// Loads `file`, looks `symbol` up, logs the rule's message on failure.
BoundEntry bind_entry(const char* file, const char* symbol, const BindFailureRule& rule);

// As bind_entry, but a failure ends the process with the rule's status.
BoundEntry bind_entry_or_exit(const char* file, const char* symbol, const BindFailureRule& rule);
