// Running other programs, waiting for children and installing signal handlers.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// Runs the formatted command line through the shell and gives its output:
// with `length` above 0 at most that many bytes, with 0 one line of at most
// 1023 characters. Nothing when the command cannot start or exits non-zero.
std::optional<std::string> execute(int length, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Waits for the child, again after an interrupted wait. The result of the last wait.
pid_t wait_pid(int* status, pid_t pid);

// Installs `handler` without restarting interrupted system calls. 0 or -1.
int set_signal(int signal, void (*handler)(int));

// Quotes one word for the shell so that it reaches the program unchanged.
std::string shell_quote(const std::string& word);

// Writes a fixed message to a file from a signal handler: only
// async-signal-safe calls (open, write, close).
void signal_safe_log(const char* path, const char* message);
