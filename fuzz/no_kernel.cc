#include "fuzz/no_kernel.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr unsigned kRefused = SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA);

// One instruction pair: a system call number that is refused.
#define ZARN_REFUSE(nr) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), 0, 1), BPF_STMT(BPF_RET | BPF_K, kRefused)

}  // namespace

void forbid_kernel_access() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      ZARN_REFUSE(__NR_socket),
      ZARN_REFUSE(__NR_socketpair),
      ZARN_REFUSE(__NR_init_module),
      ZARN_REFUSE(__NR_finit_module),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("seccomp");
    std::abort();
  }
  int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (fd >= 0 || errno != EACCES) {
    std::fprintf(stderr, "the kernel guard does not hold: socket() gave %d\n", fd);
    std::abort();
  }
}
