// Reading a session file as root in a directory the account zarn can write:
// never through a link, never a FIFO or device, never more than a few bytes.
#pragma once

#include <optional>
#include <string>

// Largest session file read; "session;client id;MAC" needs far fewer bytes.
inline constexpr size_t kSessionFileMax = 1024;

// What reading one directory entry gave.
struct SessionFileRead {
  bool regular = false;                // a regular file, opened without following a link
  std::optional<std::string> content;  // nothing when empty, unreadable or above kSessionFileMax
};

// Opens `name` in the directory `dir_fd` (O_NOFOLLOW, O_NONBLOCK) and reads it
// when it is a regular file.
SessionFileRead read_session_file(int dir_fd, const std::string& name);
