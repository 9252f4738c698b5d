// A subscriber's login from the accepted verdict to the end: forwarding,
// session row, notices, keep-alive, and closing again.
#pragma once

#include <mysql.h>

#include "libzarn/socket.h"

// The login dialogue and, for an accepted login, everything after it; ends
// with the client's session rows on this router closed.
void accept_client(client_class& c, MYSQL* connection);

// Opens (start 1) or closes (start 0) the client's forwarding through the
// runner. 1 when it reported success.
int zarn_auth(int start, int cid);

// The closing lines and the draining of the peer's input (at most 64 lines),
// all within the login time limit.
void closing_sequence(client_class& c);
