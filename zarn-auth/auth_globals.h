// Process-wide state of the login service.
#pragma once

#include <mysql.h>
#include <signal.h>

#include "libzarn/paths.h"
#include "libzarn/socket.h"
#include "zarn-auth/auth_config.h"

// The settings read from the configuration file.
extern AuthSettings g;
// This router's id (never 0 once running).
extern int rid;
// The listening socket.
extern int s;
// Set by the first termination signal: accept nothing more, end sessions.
extern volatile sig_atomic_t exiting;
// In a per-client process: the subscriber's connection and its own database connection.
extern ClientRecord cl;
extern MYSQL* db;

inline constexpr const char* kAuthLog = ZARN_PATH("logs/zarn-auth.log");

// Logs a line about the connection, led by "[address][time][session]".
void log_client(const client_class& c, const char* format, ...) __attribute__((format(printf, 2, 3)));
