#include "macwatch/signals.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

#include "libzarn/globals.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "macwatch/state.h"

namespace {

const char* log_path() { return extern_error_log ? extern_error_log : ZARN_DEFAULT_LOG; }

// Appends the decimal text of `number` at `out`; gives the end.
char* append_number(char* out, long number) {
  char digits[24];
  int n = 0;
  bool negative = number < 0;
  unsigned long value = negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (negative) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  return out;
}

char* append_text(char* out, const char* text) {
  size_t length = std::strlen(text);
  std::memcpy(out, text, length);
  return out + length;
}

}  // namespace

void term(int) {
  signal_safe_log(log_path(), "MACWATCH(QUIT): Term signal recived.\n");
  if (exiting) _exit(0);
  exiting = 1;
}

void segv(int) {
  char line[96];
  char* end = append_text(line, "MACWATCH(QUIT) CHID[");
  end = append_number(end, child_int_id);
  end = append_text(end, "]: Segmentation fault.\n");
  *end = '\0';
  signal_safe_log(log_path(), line);
  _exit(0);
}

void install_worker_signals() {
  set_signal(SIGQUIT, term);
  set_signal(SIGINT, term);
  set_signal(SIGSEGV, segv);
}
