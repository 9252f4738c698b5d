// The gate session file parser over any file content.
#include <string>

#include "fuzz/fuzz_text.h"
#include "libzarn/string_utils.h"
#include "session-reaper/session_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string content(as_text(data, size));
  SessionFields fields = parse_session_file(content);
  bool valid = session_fields_valid(fields);
  if (valid) {
    FUZZ_CHECK(fields.complete);
    FUZZ_CHECK(check_mac(fields.mac.c_str()) == 1);
  }
  for (const std::string* f : {&fields.session, &fields.client_id, &fields.mac}) {
    FUZZ_CHECK(f->find(';') == std::string::npos);
    FUZZ_CHECK(f->find('\n') == std::string::npos);
  }
  return 0;
}
