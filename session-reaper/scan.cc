#include "session-reaper/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libzarn/gate_forward.h"
#include "libzarn/globals.h"
#include "libzarn/log.h"
#include "libzarn/process.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "session-reaper/session_file.h"
#include "session-reaper/session_read.h"

namespace {

// Owner of an open directory stream.
struct DirOwner {
  DIR* d;
  ~DirOwner() {
    if (d) closedir(d);
  }
};

// Removes the client's forwarding in a child, so that a module that ends the
// process ends only the child; the parent waits for it.
void remove_forwarding(const std::string& address, const std::string& mac) {
  ProgramRun run = run_in_child([&] {
    int result = gate_forward(address.c_str(), mac.c_str(), 0);
    write_log("disconnect result: %d\n", result);
    _exit(0);  // the database connection belongs to the parent: leave it open
  });
  if (!run.started()) {
    write_log("disconnect error: Could not fork into background.\n");
    return;
  }
  write_log("disconnect result main thread: exitc [%d] waitp [%d] pid [%d] errno [%d]\nError: '%s'\n", run.status >> 8,
            run.waited, run.pid, run.wait_errno, std::strerror(run.wait_errno));
}

void expire(int dir_fd, const std::string& name, time_t ctime) {
  SessionFileRead file = read_session_file(dir_fd, name);
  if (!file.regular) return;  // replaced by a link, a FIFO or a device since the listing
  write_log("diconnecting: %s[%d]\n", name.c_str(), static_cast<int>(ctime));
  if (unlinkat(dir_fd, name.c_str(), 0) != 0) return;  // the next scan tries again

  errno = 0;
  SessionFields f = parse_session_file(file.content.value_or(""));
  std::optional<std::string> mac = session_mac(f.mac);
  if (!session_fields_valid(f) || !mac) {
    write_log("session-reaper: failure variable wrong [%s] [%s] [%s]\n", f.session.c_str(), f.client_id.c_str(),
              f.mac.c_str());
    return;
  }
  // The name reaches the access module as the client's address.
  if (check_ipv4_address(name.c_str()) != 1) {
    write_log("session-reaper: failure address wrong [%s]\n", name.c_str());
    return;
  }
  sql_query(mysql_r, "update internet_gate_log set logout_date=now() where cid='%d' and session='%s'",
            std::atoi(f.client_id.c_str()), slash_this(f.session).c_str());
  // A login row left open keeps its forwarding too: the next firewall build
  // closes both.
  if (!mysql_r || mysql_errno(mysql_r) != 0) {
    write_log("session-reaper: login not closed, forwarding kept [%s] [%s]\n", f.client_id.c_str(), name.c_str());
    return;
  }
  remove_forwarding(name, *mac);
}

}  // namespace

bool search(const std::string& directory, const ReaperSettings& settings) {
  DirOwner dir{opendir(directory.c_str())};
  if (!dir.d) {
    std::printf("Cannot open directory %s\n", directory.c_str());
    std::fflush(stdout);
    return false;
  }
  const int dir_fd = dirfd(dir.d);
  while (dirent* entry = readdir(dir.d)) {
    std::string name = entry->d_name;
    struct stat st;
    // The entry itself: a link is passed over, never followed.
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!session_expired(st.st_ctime, time(nullptr), settings.exp_time)) continue;
    expire(dir_fd, name, st.st_ctime);
  }
  return true;
}
