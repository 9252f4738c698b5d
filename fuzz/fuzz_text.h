// Small helpers shared by the fuzz targets: the input as text, and argument
// vectors built the way the interpreters' callers build them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Pointers into `words` (slot 0 replaced by `program`) ended by a null pointer.
inline std::vector<char*> argument_pointers(std::vector<std::string>& words, const char* program) {
  words[0] = program;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

// Stops the run with a message when a property of a parser's result breaks.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
