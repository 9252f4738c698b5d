// One pass of the pinger, for its loop and for those who time or test a pass.
#pragma once

#include <mysql.h>

#include <vector>

#include "macwatch/settings_rows.h"

// Probes the hosts of the rows side by side and writes hostup where it
// changed (prints instead in debug mode). False when a termination signal cut
// the pass short; the probes already sent are still finished and written.
bool ping_pass(MYSQL* connection, const std::vector<SettingRow>& rows);
