// Where the operator tools take a password from: never the command line.
#pragma once

#include <optional>
#include <string>

// The first line of `file` (without its line end) when a file is given, else
// the value of the environment variable `variable`; nothing when neither has one.
std::optional<std::string> read_password(const char* file, const char* variable);
