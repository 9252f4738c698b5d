// The login protocol's credential decoding over any received line, and the
// way back: what a client encodes decodes to the same text (a byte 0 has the
// code 0, which adds nothing).
#include <string>

#include "fuzz/fuzz_text.h"
#include "zarn-auth/credentials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = as_text(data, size);
  std::string decoded = Decrypt(text);
  FUZZ_CHECK(decoded.size() <= size);
  FUZZ_CHECK(decoded.find('\0') == std::string::npos);

  std::string expected(text);
  std::erase(expected, '\0');
  FUZZ_CHECK(Decrypt(Encrypt(text)) == expected);
  return 0;
}
