// The workers' signal handlers: only async-signal-safe work inside them.
#pragma once

// Quit and interrupt: logs the signal; the first one sets `exiting`, a second
// one ends the process at once with status 0.
void term(int signal);

// Segmentation fault: logs the worker number and ends the process with status 0.
void segv(int signal);

// Installs term for quit and interrupt and segv for segmentation faults.
void install_worker_signals();
