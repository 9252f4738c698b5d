// Process-wide state that a host program shares with the modules it loads.
// The names are part of the module interface: modules resolve them by name.
#pragma once

#include <mysql.h>

extern "C" {
// The process's one database connection (null until opened).
extern MYSQL* mysql_r;
// The program's main configuration file, read for the database settings.
extern const char* conf_file;
// The program's log file; null means the default error log.
extern const char* extern_error_log;
}
