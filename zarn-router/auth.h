// The login dialogue of a control session.
#pragma once

#include "libzarn/socket.h"

// Most rejected logins on one connection.
inline constexpr int kLoginAttempts = 4;

// Reads user name and password lines, at most kLoginAttempts times, and
// checks them against the router's row. 1 when the peer logged in.
int perform_auth(client_class& record);
