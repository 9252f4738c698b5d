// The iptables command-line parser of the access module, parsing only: each
// input is one command line, split into words the way the module splits the
// lines it formats. libxtables' fatal errors end the process by design; here
// its exit_err handler is replaced by one that throws, so such a line ends
// only its own run. A seccomp guard keeps the process from the kernel
// (libxtables asks the kernel for extension revisions, and the set match
// asks for a set's index): those questions fail as they would for a user
// without the right to ask.
#include <xtables.h>

#include <cstdarg>
#include <string>

#include "fuzz/fuzz_text.h"
#include "fuzz/no_kernel.h"
#include "libzarn/globals.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/command_words.h"
#include "modules/mod_access/iptables_parse.h"

namespace {

// What the replaced handler throws: the line was refused as fatal.
struct FatalParseError {};

__attribute__((noreturn)) void throw_fatal(enum xtables_exittype, const char*, ...);
void throw_fatal(enum xtables_exittype, const char*, ...) { throw FatalParseError{}; }

// Without the kernel no revision is known to be supported but the first.
int first_revision_only(const char*, uint8_t revision, int) { return revision == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  forbid_kernel_access();
  extern_error_log = "/dev/null";
  char program[] = "iptables";
  char list[] = "-L";
  char* argv[] = {program, list, nullptr};
  parse_command_line(2, argv);  // prepares libxtables, so that its globals can be changed
  xt_params->exit_err = throw_fatal;
  xt_params->compat_rev = first_revision_only;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(as_text(data, size));
  if (line.find('\0') != std::string::npos) return -1;  // a formatted line holds no NUL
  std::vector<std::string> words = get_argv(line);
  std::vector<char*> argv = argument_vector(words, "iptables");
  try {
    parse_command_line(static_cast<int>(words.size()), argv.data());
  } catch (const FatalParseError&) {
    xtables_free_opts(1);
  }
  return 0;
}
