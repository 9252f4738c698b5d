#include "libzarn/proctitle.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

char** argv0 = nullptr;  // unset: the title is never changed
long argv_lth = 0;       // bytes from argv[0] to the end of the last string

}  // namespace

void initproctitle(int argc, char** argv) {
  if (argc < 1 || !argv || !argv[0]) return;
  size_t count = 0;
  while (environ && environ[count]) ++count;

  auto** moved = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
  if (!moved) return;
  for (size_t i = 0; i < count; ++i) {
    moved[i] = strdup(environ[i]);
    if (!moved[i]) {
      for (size_t j = 0; j < i; ++j) std::free(moved[j]);
      std::free(moved);
      return;  // the old environment stays in force
    }
  }
  // The area runs over the strings the kernel laid out back to back; a string
  // already moved elsewhere (a changed variable) ends it.
  char* end = argv[0];
  auto extend = [&end](char* s) {
    if (s != end) return false;
    end = s + std::strlen(s) + 1;
    return true;
  };
  bool contiguous = true;
  for (int i = 0; i < argc && contiguous; ++i) contiguous = extend(argv[i]);
  for (size_t i = 0; i < count && contiguous; ++i) contiguous = extend(environ[i]);
  argv_lth = static_cast<long>(end - 1 - argv[0]);
  environ = moved;
  argv0 = argv;
}

void setproctitle(const char* fmt, ...) {
  if (!argv0 || argv_lth < 2) return;
  char title[2048];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(title, sizeof title, fmt, args);
  va_end(args);

  size_t room = static_cast<size_t>(argv_lth - 2);
  size_t len = std::strlen(title);
  if (len > room) len = room;
  std::memset(argv0[0], 0, static_cast<size_t>(argv_lth));
  std::memcpy(argv0[0], title, len);
  argv0[1] = nullptr;
}
