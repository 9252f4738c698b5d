// The router's own row of internet_routers, looked up by its listening address.
#pragma once

#include <mysql.h>

// Fills router_name, router_id, router_user and router_pass from the row whose
// ip is listenaddr. 1 when a row was found, else 0.
int load_identity(MYSQL* connection);
