// The master's side of the router control protocol: logging in, sending one
// command and reading its whole reply.
#pragma once

#include <functional>
#include <string>

#include "libzarn/socket.h"

// What became of a login.
enum class LoginResult { kAccepted, kRejected, kNoGreeting, kLost };

// Reads the greeting, sends user name and password, reads the verdict.
LoginResult control_login(client_class& router, const std::string& user, const std::string& password);

// How a command's reply ended.
struct ReplyEnd {
  bool complete = false;       // the whole reply arrived
  int code = 0;                // the last numbered reply line's code, 0 when none
  bool informational = false;  // help, identify, clear or an empty line: no number by nature
};

// Sends `command` and hands each reply line (without its line end) to `print`
// until the reply is complete: a numbered final line (222, 224, 400),
// "Unkown command", the end of the help text or of identify, or nothing at
// all for an empty line. "300" lines are passed on and the reading goes on.
ReplyEnd control_command(client_class& router, const std::string& command,
                         const std::function<void(const std::string&)>& print);

// 0 for a reply that succeeded (222, 400, or a complete informational reply
// without a number), 1 otherwise.
int reply_exit_status(const ReplyEnd& end);
