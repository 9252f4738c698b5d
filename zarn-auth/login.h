// The login dialogue: user name, password and gateway, checked against the
// subscriber database.
#pragma once

#include <mysql.h>

#include "libzarn/socket.h"

// The subscriber's client id after an accepted login, else 0 (after the
// verdict line, or without one when a line did not come).
int perform_auth(client_class& c, MYSQL* connection);
