// Word splitting: splitStr with the first byte of the input as the separator
// over the rest, and get_argv over the whole input. The pieces and the cuts
// between them must give back the text.
#include <string>

#include "fuzz/fuzz_text.h"
#include "libzarn/string_utils.h"

namespace {

// Sum of the pieces' lengths plus one per cut between them.
size_t rebuilt_length(const std::vector<std::string>& pieces, size_t first) {
  size_t length = 0;
  for (size_t i = first; i < pieces.size(); ++i) length += pieces[i].size();
  return length + (pieces.size() - first - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = as_text(data, size);
  std::string_view separator = text.substr(0, size > 0 ? 1 : 0);
  std::string_view rest = text.substr(separator.size());

  std::vector<std::string> pieces = splitStr(rest, separator);
  FUZZ_CHECK(!pieces.empty());
  FUZZ_CHECK(rebuilt_length(pieces, 0) == rest.size());
  for (const std::string& p : pieces) {
    FUZZ_CHECK(p.find('\n') == std::string::npos);
    if (!separator.empty()) FUZZ_CHECK(p.find(separator[0]) == std::string::npos);
  }

  std::vector<std::string> argv = get_argv(text);
  FUZZ_CHECK(argv.size() >= 2);
  FUZZ_CHECK(argv[0].empty());
  FUZZ_CHECK(rebuilt_length(argv, 1) == text.size());
  for (size_t i = 1; i < argv.size(); ++i) FUZZ_CHECK(argv[i].find(' ') == std::string::npos);
  return 0;
}
