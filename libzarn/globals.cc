#include "libzarn/globals.h"

extern "C" {
MYSQL* mysql_r = nullptr;
const char* conf_file = nullptr;
const char* extern_error_log = nullptr;
}
