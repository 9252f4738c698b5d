// The ip sets of a firewall build: each network's set is filled under a
// temporary name and swapped in whole, so that the kernel never holds a set
// that is half filled or a forwarding rule without its set; sets the build
// does not make are destroyed once no table refers to them.
#pragma once

#include <string>

// Begins a build: no set made, no entry queued. While a build runs, ipset_exec
// queues the adds to the build's sets instead of sending each one.
void set_build_begin();
bool set_build_running();

// Makes network `net`'s set `name` ready: the set itself (created empty when
// missing, so that rules can name it) and its empty temporary twin. False,
// logged, when the kernel refuses either.
bool set_build_create(const std::string& name, const std::string& net);

// Whether the build has made the set of this name.
bool set_build_has(const std::string& name);

// Runs one ip set command during a build: "-A SET ADDRESS,MAC" on a set of the
// build is queued (1); on another set, outside the set's network or for an
// address queued already it is refused with a log line (0); anything else runs
// as usual.
int set_build_command(int argc, char** argv);

// The same for the entry ip,mac of a paid row in network `net` (a class), on
// the network's set: the add of a firewall build without its command text.
int set_build_add(const std::string& net, const std::string& ip, const std::string& mac);

// Entries refused so far because no set of the build could hold them.
int set_build_refused();

// Fills the temporary sets with the entries queued so far (a few kernel
// messages per set, the entries as numbers); later adds go one by one. Once
// per build.
void set_build_fill();

// Fills the temporary sets unless that is done, and swaps each with its set.
// The number of sets that could not be filled or swapped (each logged).
int set_build_swap_in();

// Ends the build; with `destroy_others`, destroys every set that the build did
// not make and no table refers to (call it after the tables are committed).
void set_build_end(bool destroy_others);
