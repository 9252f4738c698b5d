// The process title shown by ps: written over the argument and environment
// strings that the kernel laid out at start, after moving the environment away.
#pragma once

// Call once, early in main, before anything keeps pointers into argv or environ.
void initproctitle(int argc, char** argv);

// Formats like printf and makes the result the title (cut to the area's size).
void setproctitle(const char* format, ...) __attribute__((format(printf, 1, 2)));
