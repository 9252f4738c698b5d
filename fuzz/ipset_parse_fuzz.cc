// The ip set command lines of the access module, parsing only. libipset runs
// a whole command line (ipset_parse_argv) only together with its kernel call,
// and even to parse an entry it must know the set's type, which it asks the
// kernel for. So this target takes the module's own text handling (the words
// of a formatted line, the set name length check) and hands the words to
// libipset's own parsers: the set name, the entry of a bitmap:ip,mac set
// (the type the module creates, known here from a local cache entry instead
// of the kernel) and the --network value. A seccomp guard keeps the process
// from the kernel.
#include <libipset/ipset.h>
#include <libipset/parse.h>
#include <libipset/session.h>
#include <libipset/types.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz_text.h"
#include "fuzz/no_kernel.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/command_words.h"

namespace {

constexpr char kSetName[] = "src_10_1_1_0_24";  // the form of the module's set names
constexpr size_t kSetNameMax = 31;              // the module refuses longer names

struct ipset_session* session = nullptr;
const ipset_type* clients_type = nullptr;

int print_nothing(struct ipset_session*, void*, const char*, ...) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  forbid_kernel_access();
  ipset_load_types();
  ipset_cache_init();
  for (const ipset_type* t = ipset_types(); t; t = t->next)
    if (std::strcmp(t->name, "bitmap:ip,mac") == 0 && (!clients_type || t->revision > clients_type->revision))
      clients_type = t;
  if (!clients_type || ipset_cache_add(kSetName, clients_type, NFPROTO_IPV4) != 0) std::abort();
  session = ipset_session_init(print_nothing, nullptr);
  if (!session) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(as_text(data, size));
  if (line.find('\0') != std::string::npos) return -1;  // a formatted line holds no NUL
  std::vector<std::string> words = get_argv(line);
  std::vector<char*> argv = argument_vector(words, "ipset");
  if (words.size() > 2 && words[2].size() > kSetNameMax) return 0;  // refused by the module

  ipset_data* d = ipset_session_data(session);
  if (words.size() > 2) {
    ipset_data_reset(d);
    ipset_parse_setname(session, IPSET_SETNAME, argv[2]);
    ipset_session_report_reset(session);
  }
  if (words.size() > 3) {
    // An entry, parsed as it would be for the module's set.
    ipset_data_reset(d);
    ipset_session_data_set(session, IPSET_SETNAME, kSetName);
    const ipset_type* type = ipset_type_get(session, IPSET_CMD_ADD);
    FUZZ_CHECK(type == clients_type);
    ipset_parse_elem(session, type->last_elem_optional, argv[3]);
    ipset_session_report_reset(session);
  }
  for (size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] != "--network") continue;
    ipset_data_reset(d);
    uint8_t family = NFPROTO_IPV4;
    ipset_session_data_set(session, IPSET_OPT_FAMILY, &family);
    ipset_parse_netrange(session, IPSET_OPT_IP, argv[i + 1]);
    ipset_session_report_reset(session);
  }
  return 0;
}
