#include "libzarn/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "libzarn/format.h"
#include "libzarn/globals.h"
#include "libzarn/paths.h"
#include "libzarn/string_utils.h"

namespace {

// Removes the first `written` bytes of a line that could not be written
// whole (a full disk), so that they do not join the next line written once
// space is back; only while they are still the end of the file, so that a
// line another process wrote behind them is kept.
void cut_piece(int fd, size_t written) {
  off_t end = ::lseek(fd, 0, SEEK_CUR);
  struct stat st;
  if (end >= static_cast<off_t>(written) && ::fstat(fd, &st) == 0 && st.st_size == end) {
    int ignored = ::ftruncate(fd, end - static_cast<off_t>(written));  // nothing more to do when it fails
    (void)ignored;
  }
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done > 0) cut_piece(fd, done);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int open_log_for_append(const char* path) {
  // The log directory belongs to the unprivileged account while the runner and
  // the root daemons write there: a planted link must not redirect their lines
  // (O_NOFOLLOW), a FIFO must not hang them (O_NONBLOCK) and nothing but a
  // regular file of one name (no device, no hard link to another file) is
  // written to.
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

int write_log_text(const std::string& text) {
  const char* path = extern_error_log ? extern_error_log : ZARN_DEFAULT_LOG;
  int fd = open_log_for_append(path);
  if (fd < 0) {
    std::string flat = str_replace(text, "\n", "");
    std::printf("Unable to open log file %s error(%s)\n", path, flat.c_str());
    std::fflush(stdout);
    return -1;
  }
  // One write per line, so lines of concurrent processes do not interleave.
  bool written = write_all(fd, text);
  ::close(fd);
  return written ? 1 : -1;
}

void log_and_print(const char* message) {
  write_log("%s", message);
  std::printf("%s", message);
  std::fflush(stdout);
}

int write_log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return write_log_text(text);
}

std::string now() {
  time_t t = time(nullptr);
  char buf[64];
  struct tm tm_buf;
  localtime_r(&t, &tm_buf);
  if (!asctime_r(&tm_buf, buf)) return "\n";
  return buf;
}
