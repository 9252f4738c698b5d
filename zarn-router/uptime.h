// The uptime line of the identify reply.
#pragma once

#include <optional>
#include <string>

// "Uptime: N seconds|minutes|hours\r\n" for `seconds` of uptime: seconds up to
// a minute, whole minutes up to an hour, whole hours above.
std::string uptime_line(long seconds);

// The line for the machine's uptime from /proc/uptime, or nothing when it
// cannot be read.
std::optional<std::string> uptime();
