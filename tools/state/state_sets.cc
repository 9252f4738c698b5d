#include "tools/state/state_sets.h"

#include "modules/mod_access/set_listing.h"

#include <libipset/ipset.h>

#include <cctype>
#include <cstdarg>
#include <memory>
#include <optional>
#include <sstream>

#include "libzarn/format.h"

namespace zarn_state {

namespace {

// Owner of a libipset session.
struct SetSessionFree {
  void operator()(struct ipset* s) const { ipset_fini(s); }
};
using SetSession = std::unique_ptr<struct ipset, SetSessionFree>;

// Where the print callback of a listing writes, and whether it failed.
struct Listing {
  std::string text;
  std::string error;
};
Listing* current_listing = nullptr;

int on_custom_error(struct ipset*, void*, int status, const char* msg, ...) {
  if (status == IPSET_NO_PROBLEM || !current_listing) return 0;
  va_list args;
  va_start(args, msg);
  current_listing->error = vformat(msg, args);
  va_end(args);
  return -1;
}

int on_standard_error(struct ipset* s, void*) {
  struct ipset_session* session = ipset_session(s);
  if (current_listing && ipset_session_report_type(session) != IPSET_WARNING)
    current_listing->error = ipset_session_report_msg(session);
  ipset_session_report_reset(session);
  return -1;
}

int on_print(struct ipset_session*, void*, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (current_listing) current_listing->text += vformat(fmt, args);
  va_end(args);
  return 0;
}

// Lists one set; nothing when it does not exist (or cannot be listed).
std::optional<std::string> list_set(struct ipset* session, const std::string& name) {
  Listing listing;
  current_listing = &listing;
  std::string program = "ipset", verb = "list", set = name;
  char* argv[] = {program.data(), verb.data(), set.data(), nullptr};
  int r = ipset_parse_argv(session, 3, argv);
  current_listing = nullptr;
  if (r < 0) return std::nullopt;
  return listing.text;
}

}  // namespace

void parse_set_members(const std::string& listing, std::map<std::string, std::vector<std::string>>& out) {
  for (auto& [ip, macs] : set_members_by_address(listing)) out[ip].insert(out[ip].end(), macs.begin(), macs.end());
}

bool read_sets(const std::vector<Network>& networks, Held& held, std::string* error) {
  static bool types_loaded = false;
  if (!types_loaded) {
    ipset_load_types();
    types_loaded = true;
  }
  SetSession session(ipset_init());
  if (!session) {
    *error = "cannot open an ip set session";
    return false;
  }
  ipset_custom_printf(session.get(), on_custom_error, on_standard_error, on_print, nullptr);
  for (const Network& n : networks) {
    std::optional<std::string> listing = list_set(session.get(), n.source_set);
    if (!listing) continue;
    held.sets.insert(n.source_set);
    parse_set_members(*listing, held.forwards);
  }
  return true;
}

}  // namespace zarn_state
