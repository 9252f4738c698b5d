#include "modules/mod_access/ipset_command.h"

#include <arpa/inet.h>
#include <libipset/ipset.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libzarn/format.h"
#include "libzarn/log.h"
#include "libzarn/string_utils.h"

namespace {

// What one command asked for, so that a refusal can be told in its own words.
struct CommandContext {
  std::string verb, set, entry;
  std::string output;
  bool capture = false;
  bool tolerate = false;  // a refusal fails the command instead of the process
  std::string refusal;    // what the library said when it refused, in tolerant runs
};

struct ipset* session = nullptr;
CommandContext* current = nullptr;

[[noreturn]] void fatal(const std::string& message) {
  write_log("%s\n", message.c_str());
  std::fprintf(stderr, "zarn-ipset v2.3.0: %s\n", message.c_str());
  std::exit(2);
}

// A library message on one line, without its line feeds.
std::string tidy(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool contains(const char* text, const char* part) { return text && std::strstr(text, part); }

// Turns the library's report of a refused command into the interpreter's result.
int report(const char* message, bool is_warning) {
  if (is_warning) return 0;
  CommandContext& c = *current;
  if (c.tolerate) {
    if (message && *message) c.refusal += message;
    return -1;
  }
  if (c.verb == "-T" || c.verb == "test") {
    if (contains(message, "is NOT in set")) return 0;
  }
  if (contains(message, "already added")) fatal(format("%s is already in set %s.", c.entry.c_str(), c.set.c_str()));
  if (contains(message, "it's not added")) fatal(format("%s is not in set %s.", c.entry.c_str(), c.set.c_str()));
  std::string text = message ? message : "unknown error";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  fatal("Error from kernel: " + text);
}

int custom_error(struct ipset*, void*, int status, const char* msg, ...) {
  va_list args;
  va_start(args, msg);
  std::string text = vformat(msg, args);
  va_end(args);
  if (status == IPSET_NO_PROBLEM) return 0;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (current && current->tolerate) {
    current->refusal += text;
    return -1;
  }
  fatal(text);
}

int standard_error(struct ipset* s, void*) {
  struct ipset_session* ses = ipset_session(s);
  bool warning = ipset_session_report_type(ses) == IPSET_WARNING;
  int r = report(ipset_session_report_msg(ses), warning);
  ipset_session_report_reset(ses);
  return r;
}

int print_out(struct ipset_session*, void*, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  if (current && current->capture) current->output += text;
  return 0;
}

struct ipset* get_session() {
  if (session) return session;
  static bool types_loaded = false;
  if (!types_loaded) {
    ipset_load_types();
    types_loaded = true;
  }
  session = ipset_init();
  if (!session) fatal("Error from kernel: cannot initialise the ip set session");
  ipset_custom_printf(session, custom_error, standard_error, print_out, nullptr);
  return session;
}

// After a refused command the library's session answers the next command
// with the reply of the last one ("Internal protocol error"): start afresh.
void drop_session() {
  if (!session) return;
  ipset_fini(session);
  session = nullptr;
}

int run(int argc, char** argv, CommandContext& context) {
  if (argc > 1) context.verb = argv[1];
  if (argc > 2) context.set = argv[2];
  if (argc > 3) context.entry = argv[3];
  for (int i = 1; i < argc && i < 3; ++i)
    if (std::strlen(argv[i]) > 31 && i == 2) fatal(format("Setname '%s' too long, max %d characters.", argv[i], 31));
  current = &context;
  int r = ipset_parse_argv(get_session(), argc, argv);
  current = nullptr;
  if (r < 0) drop_session();
  return r;
}

}  // namespace

int ipset_do_command(int argc, char** argv) {
  CommandContext context;
  return run(argc, argv, context) >= 0 ? 1 : 0;
}

namespace {

// Runs one command line tolerantly (a refusal fails it, the process goes on).
int run_tolerant(const std::string& line, CommandContext& context) {
  std::vector<std::string> words = get_argv(line);
  words[0] = "ipset";
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  context.tolerate = true;
  return run(static_cast<int>(words.size()), argv.data(), context);
}

}  // namespace

bool ipset_output(const std::string& line, std::string* output) {
  CommandContext context;
  context.capture = true;
  int r = run_tolerant(line, context);
  *output = std::move(context.output);
  return r >= 0;
}

bool ipset_tolerant(const std::string& line, std::string* refusal) {
  CommandContext context;
  int r = run_tolerant(line, context);
  if (refusal) *refusal = tidy(context.refusal);
  return r >= 0;
}

bool ipset_add_entries(const std::string& set, const std::vector<MacEntry>& entries, std::string* refusal) {
  CommandContext context;
  context.tolerate = true;
  context.verb = "add";
  context.set = set;
  current = &context;
  struct ipset_session* s = ipset_session(get_session());
  int r = 0;
  uint32_t line = 0;
  const struct ipset_type* type = nullptr;
  uint8_t family = 0;
  for (const MacEntry& e : entries) {
    // The set's type comes once from the library (its cache of the sets this
    // process made, or a header query); a line number above 0 lets adds to
    // the same set share a message.
    ipset_session_data_set(s, IPSET_SETNAME, set.c_str());
    if (!type) {
      type = ipset_type_get(s, IPSET_CMD_ADD);
      if (!type) {
        r = -1;
        break;
      }
      family = ipset_data_family(ipset_session_data(s));
    } else {
      ipset_session_data_set(s, IPSET_OPT_FAMILY, &family);
      ipset_session_data_set(s, IPSET_OPT_TYPE, type);
    }
    union nf_inet_addr ip {};
    ip.ip = htonl(e.address);
    ipset_session_data_set(s, IPSET_OPT_IP, &ip);
    ipset_session_data_set(s, IPSET_OPT_ETHER, e.mac.data());
    if ((r = ipset_cmd(s, IPSET_CMD_ADD, ++line)) < 0) break;
  }
  if (r >= 0) r = ipset_commit(s);
  current = nullptr;
  if (r < 0 || !context.refusal.empty()) {
    if (context.refusal.empty()) context.refusal = ipset_session_report_msg(s);
    drop_session();
  } else {
    ipset_session_lineno(s, 0);  // later refusals name no line of these adds
  }
  if (refusal) *refusal = tidy(context.refusal);
  return r >= 0 && context.refusal.empty();
}

int ipset_close() {
  if (!session) return -1;
  ipset_fini(session);
  session = nullptr;
  return 0;
}
