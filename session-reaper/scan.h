// One pass over the session directory: every expired session closed.
#pragma once

#include <string>

#include "session-reaper/settings.h"

// False when the directory cannot be opened (the daemon then ends).
bool search(const std::string& directory, const ReaperSettings& settings);
