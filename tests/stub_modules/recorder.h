// Records a stub module's calls for the tests that load it.
#pragma once

// Appends one formatted line to /zarn/logs/calls.log.
void record(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The value the stub is told to return (/zarn/conf/stub-result, default 1).
int stub_result();
// Sleeps while /zarn/conf/stub-pause exists (at most ten seconds), so that a
// test can signal the runner in the middle of a call.
void stub_pause();
