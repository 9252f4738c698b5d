// The program's log: one line appended per call, the file opened and closed
// each time so that several processes can share it and rotation needs no signal.
#pragma once

#include <string>

// Formats like printf and appends the text to `extern_error_log` (or the
// default error log). 1 when written; -1 when the file cannot be opened, in
// which case the text, without its line feeds, goes to standard output; -1
// also when the text cannot be written whole (a full disk), in which case
// none of it stays in the file.
int write_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens a log file for appending, creating it when missing; -1 unless it is a
// regular file with one link, reached without following a symbolic link and
// without waiting (a FIFO never blocks it). Async-signal-safe.
int open_log_for_append(const char* path);

// Appends text exactly as given (no formatting).
int write_log_text(const std::string& text);

// Logs a message and prints it on standard output (start-up failures of the
// daemons, which an operator starting one by hand should see).
void log_and_print(const char* message);

// The current local time in ctime form (24 characters and a line feed).
std::string now();
