// The options a diagnostic tool may be given through the runner: only those
// that look at traffic. The runner runs the tools as root for the account
// zarn, so an option that writes or reads a file, runs a program, changes a
// user or marks packets must never reach them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The first word of `words` (the tool's arguments after its name) that is not
// an allowed option, or the option whose argument is missing; nothing when
// every option is allowed. An unknown tool refuses its first word.
std::optional<std::string> refused_tool_word(std::string_view tool, const std::vector<std::string>& words);
