// Stands in for the shaping module.
#include "tests/stub_modules/recorder.h"

extern "C" int restrict_load(int type, int router_id) {
  record("restrict_load %d %d", type, router_id);
  return 1;
}
