#include "session-reaper/session_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "libzarn/fd.h"

SessionFileRead read_session_file(int dir_fd, const std::string& name) {
  SessionFileRead result;
  FdOwner file(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return result;
  result.regular = true;
  std::string text(kSessionFileMax + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = read(file.fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return result;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == 0 || got > kSessionFileMax) return result;
  text.resize(got);
  result.content = std::move(text);
  return result;
}
