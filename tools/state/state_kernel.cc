#include "tools/state/state_kernel.h"

#include <arpa/inet.h>
#include <libiptc/libiptc.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "libzarn/format.h"
#include "tools/state/state_sets.h"

namespace zarn_state {

namespace {

// Owner of a libiptc snapshot.
struct TableFree {
  void operator()(xtc_handle* h) const { iptc_free(h); }
};
using Table = std::unique_ptr<xtc_handle, TableFree>;

std::string dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

// Mark rules (target MARK, a single source address) of one chain.
void read_marks(xtc_handle* h, const std::string& chain, Held& held) {
  int number = 0;
  for (const ipt_entry* e = iptc_first_rule(chain.c_str(), h); e; e = iptc_next_rule(e, h)) {
    ++number;
    if (std::strcmp(iptc_get_target(e, h), "MARK") != 0) continue;
    if (e->ip.smsk.s_addr != 0xFFFFFFFFu) continue;
    held.marks[dotted(e->ip.src)].push_back({chain, number});
  }
}

}  // namespace

std::optional<Held> read_kernel(const std::vector<Network>& networks, std::string* error) {
  Held held;
  if (!read_sets(networks, held, error)) return std::nullopt;
  Table mangle(iptc_init("mangle"));
  if (!mangle) {
    *error = format("cannot read the mangle table: %s", iptc_strerror(errno));
    return std::nullopt;
  }
  for (const Network& n : networks) {
    if (!iptc_is_chain(n.unpaid_chain.c_str(), mangle.get())) continue;
    if (held.chains.insert(n.unpaid_chain).second) read_marks(mangle.get(), n.unpaid_chain, held);
  }
  return held;
}

}  // namespace zarn_state
