// The argument vector of one command line as the module's interpreters take
// it, shared by the module and its fuzz targets so that both split alike.
#pragma once

#include <string>
#include <vector>

// Pointers into `words` (split by get_argv at every single blank, so that two
// blanks make an empty word), slot 0 replaced by `program`, ended by a null
// pointer. `words` must outlive the result.
inline std::vector<char*> argument_vector(std::vector<std::string>& words, const char* program) {
  words[0] = program;
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}
