// Opening a setting's forwarding through the privileged runner.
#pragma once

// Runs "/zarn/bin/gw-runner macwatch ID start" as the account zarn (the only
// caller the runner accepts) and waits for it. 1 when the runner reports
// success (exit status 1), else 0; every outcome is logged.
int internet_op(const char* id, int start);
