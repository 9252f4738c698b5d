#include "zarn-auth/keepalive.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "libzarn/log.h"
#include "libzarn/paths.h"
#include "libzarn/process.h"
#include "zarn-auth/auth_globals.h"
#include "zarn-auth/login.h"
#include "zarn-auth/read_deadline.h"
#include "zarn-auth/sessions.h"

namespace {

constexpr int kMaxRetries = 3;
constexpr unsigned kPauseAfterSessionId = 5;
// Lines of the peer dropped after the closing lines, at most.
constexpr int kMaxDrainedLines = 64;

// Why the keep-alive ended.
enum class KeepAliveEnd { silence, wrong_reply, exiting };

KeepAliveEnd keep_alive(client_class& c) {
  for (;;) {
    std::optional<std::string> reply = send_wait(&c, "228 SessionID\r\n");
    int retries = 0;
    while (!reply && !exiting && retries < kMaxRetries) {
      ++retries;
      log_client(c, "Response was null retry [%d] in progress.\n", retries);
      reply = send_wait(&c, "228 SessionID\r\n");
    }
    if (reply && retries > 0) log_client(c, "Conection restablished.\n");
    if (!reply) return KeepAliveEnd::silence;
    if (exiting) return KeepAliveEnd::exiting;
    if (*reply != c.session) {
      log_client(c, "Response does not match session.\n");
      return KeepAliveEnd::wrong_reply;
    }
    sleep(static_cast<unsigned>(g.ping_client_time));
  }
}

}  // namespace

int zarn_auth(int start, int cid) {
  std::string id = std::to_string(cid);
  ProgramRun run = run_program(ZARN_RUNNER, {"gw-runner", "ZarnAuth", id, start ? "start" : "stop"}, 3);
  if (!run.started()) {
    write_log("Could not execute wrapper to add client: %d PIDC: %d\n", cid, run.pid);
    return 0;
  }
  int code = run.exit_code();
  if (code == 1) return 1;
  write_log("Could not execute wrapper to add client: %d CODE:%d\n", cid, code);
  return 0;
}

void accept_client(client_class& c, MYSQL* connection) {
  int cid = perform_auth(c, connection);
  if (cid > 0) {
    if (zarn_auth(1, cid)) {
      lock_session(cid, c, connection);
      send_out(&c, "227 %s\r\n", c.session.c_str());
      sleep(kPauseAfterSessionId);
      send_messages(c, cid, connection);
      send_url(c, cid, connection);
      KeepAliveEnd end = keep_alive(c);
      zarn_auth(0, cid);
      if (end == KeepAliveEnd::silence) log_client(c, " Timeout received, reponse is null.\n");
    } else {
      zarn_auth(0, cid);
    }
  }
  unlock_session(cid, connection);
}

void closing_sequence(client_class& c) {
  // A peer that trickles its good-bye is held no longer than a login may take.
  const int seconds = login_timeout(g).seconds;
  ReadDeadline deadline(c.fdin, seconds);
  send_wait(&c, "232 Good Bye.\r\n");
  send_wait(&c, "232 Closing Socket.\r\n");
  // A client program says good-bye in a line or two; one that keeps sending
  // would otherwise hold this process and its database connection for ever.
  for (int drained = 0; drained < kMaxDrainedLines && get_line(c); ++drained) {
  }
  if (deadline.expired()) log_client(c, "Error: closing lines not answered within %d seconds.\n", seconds);
}
