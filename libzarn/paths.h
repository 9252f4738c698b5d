// Fixed paths of the installed system. Every one derives from the compile-time
// root, so nothing at run time (environment, options, files) can move them.
#pragma once

#ifndef ZARN_ROOT
#error "ZARN_ROOT must be defined by the build"
#endif

#define ZARN_PATH(relative) ZARN_ROOT "/" relative

#define ZARN_CONF_DIR ZARN_PATH("conf")
#define ZARN_LOG_DIR ZARN_PATH("logs")
#define ZARN_BIN_DIR ZARN_PATH("bin")
#define ZARN_MODULE_DIR ZARN_PATH("modules")
#define ZARN_SESSION_DIR ZARN_PATH("auth_sessions")

#define ZARN_ROUTER_CONF ZARN_PATH("conf/zarn-router.conf")
#define ZARN_DEFAULT_LOG ZARN_PATH("logs/zarn_error.log")
#define ZARN_RUNNER ZARN_PATH("bin/gw-runner")
