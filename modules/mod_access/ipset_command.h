// The ip set command interpreter: command lines in the set program's syntax
// (old forms included) run in-process through libipset, one kernel call each.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Runs argv[1..argc-1] (argv[0] is a placeholder). 1 on success, 0 when a
// test finds no entry. A kernel refusal (entry already in the set, not in
// the set, unknown set) logs, prints and ends the process with status 2.
int ipset_do_command(int argc, char** argv);

// Runs one command and gives what it printed (for listings), or nothing when it failed.
bool ipset_output(const std::string& line, std::string* output);

// Runs one command; a refusal fails it (false, with the library's words)
// instead of ending the process.
bool ipset_tolerant(const std::string& line, std::string* refusal);

// One entry ADDRESS,MAC of a set of type macipmap, in the kernel's terms.
struct MacEntry {
  uint32_t address = 0;  // host order
  std::array<uint8_t, 6> mac{};
};

// Adds the entries to set `set` as a restore does (as few kernel messages as
// the library allows), without the text of each entry to be parsed again.
// False, with the library's words, when one was refused: the entries after
// it in the same message may be lost.
bool ipset_add_entries(const std::string& set, const std::vector<MacEntry>& entries, std::string* refusal);

// Ends the interpreter's session (its kernel socket). -1 when none was open, else 0.
int ipset_close();
