// Stands in for the host-operations module: records instead of rebooting.
#include <cstdlib>

#include "tests/stub_modules/recorder.h"

extern "C" int server_do(int action) {
  record("server_do %d", action);
  return stub_result();
}

extern "C" int service_do(const char* name, int action) {
  record("service_do %s %d", name ? name : "(null)", action);
  return stub_result();
}
