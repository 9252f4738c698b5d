// Stands in for the access module: every entry point records its arguments.
#include <mysql.h>

#include <cstdlib>

#include "tests/stub_modules/recorder.h"

extern "C" {
extern MYSQL* mysql_r;  // resolved against the host
extern const char* conf_file;
}

namespace {
// Set by init_handlers; shows whether the module stayed loaded between calls.
int handlers_open = 0;
const char* or_null(const char* s) { return s ? s : "(null)"; }
}  // namespace

extern "C" {

int firewall_operation(int op, int router_id, const char* other_ports) {
  record("firewall_operation %d %d %s db=%d conf=%s", op, router_id, or_null(other_ports), mysql_r != nullptr,
         or_null(conf_file));
  record("env PATH=%s PROBE=%s", or_null(getenv("PATH")), or_null(getenv("ZARN_PROBE")));
  stub_pause();
  return stub_result();
}

int op_client(const char* id, int op) {
  record("op_client %s %d", or_null(id), op);
  return stub_result();
}

int op_ip(const char* id, int op) {
  record("op_ip %s %d", or_null(id), op);
  return stub_result();
}

int redirect_notifier(const char* id, int op, const char* other_ports) {
  record("redirect_notifier %s %d %s", or_null(id), op, or_null(other_ports));
  return stub_result();
}

int zarn_auth(int client_id, int op) {
  record("zarn_auth %d %d", client_id, op);
  return stub_result();
}

int init_handlers() {
  handlers_open = 1;
  record("init_handlers");
  return 1;
}

int forward(const char* address, const char* mac, int a, int b) {
  record("forward %s %s %d %d handlers=%d", or_null(address), or_null(mac), a, b, handlers_open);
  return stub_result();
}

int close_handlers() {
  record("close_handlers handlers=%d", handlers_open);
  handlers_open = 0;
  return 1;
}
}
