#include "tests/stub_modules/recorder.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "libzarn/paths.h"

void record(const char* format, ...) {
  FILE* f = std::fopen(ZARN_PATH("logs/calls.log"), "a");
  if (!f) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(f, format, args);
  va_end(args);
  std::fputc('\n', f);
  std::fclose(f);
}

int stub_result() {
  FILE* f = std::fopen(ZARN_PATH("conf/stub-result"), "r");
  if (!f) return 1;
  int value = 1;
  if (std::fscanf(f, "%d", &value) != 1) value = 1;
  std::fclose(f);
  return value;
}

void stub_pause() {
  for (int i = 0; i < 100 && access(ZARN_PATH("conf/stub-pause"), F_OK) == 0; ++i) {
    record("paused");
    usleep(100000);
  }
}
