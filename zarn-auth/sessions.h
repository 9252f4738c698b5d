// Session rows of subscriber logins (internet_vpn_log) and the notices sent at login.
#pragma once

#include <mysql.h>

#include "libzarn/socket.h"

// 1 when the peer's address has no open session on this router; else 0,
// after telling the peer (also 0, silently, when the query fails).
int check_session(client_class& c, MYSQL* connection);
// 1 when a session row was inserted (none while the client has one open anywhere).
int lock_session(int cid, client_class& c, MYSQL* connection);
// Ends the client's open session rows on this router.
void unlock_session(int cid, MYSQL* connection);
// Ends every open session row of this router (at start-up).
int unlock_all_sessions(MYSQL* connection);
// The subscriber's current message and notice link, when there are any.
void send_messages(client_class& c, int cid, MYSQL* connection);
void send_url(client_class& c, int cid, MYSQL* connection);
