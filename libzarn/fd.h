// Ownership of a file descriptor.
#pragma once

#include <unistd.h>

// Owns an open file descriptor and closes it when it goes out of scope.
struct FdOwner {
  int fd;
  explicit FdOwner(int f) : fd(f) {}
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;
  ~FdOwner() {
    if (fd >= 0) ::close(fd);
  }
};
