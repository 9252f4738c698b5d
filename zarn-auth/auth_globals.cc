#include "zarn-auth/auth_globals.h"

#include <cstdarg>
#include <ctime>

#include "libzarn/format.h"
#include "libzarn/log.h"

AuthSettings g;
int rid = 0;
int s = -1;
volatile sig_atomic_t exiting = 0;
ClientRecord cl;
MYSQL* db = nullptr;

void log_client(const client_class& c, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  write_log("[%s][%ld][%s]%s", c.remote_addr.c_str(), static_cast<long>(time(nullptr)), c.session.c_str(),
            text.c_str());
}
