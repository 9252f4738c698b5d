// The three workers: the finder (table read, then a probe), the reader (table
// read only, slowly) and the pinger (probes every host, records hostup).
#pragma once

#include <sys/types.h>

// Worker entry points. Normal mode: fork, give the child's id (or -1) and run
// the worker in the child, which never returns. Debug mode: run the worker in
// this process, which ends with status 0 when the loop stops.
pid_t macwatch();
pid_t arp_reader();
pid_t arp_pinger();

// The loops: each opens its own database connection, runs until `exiting` is
// set, closes the connection and returns.
void start_finder();
void start_reader();
void start_pinger();
