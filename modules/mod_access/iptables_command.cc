#include "modules/mod_access/iptables_command.h"
#include "modules/mod_access/iptables_parse.h"

#include <getopt.h>
#include <unistd.h>
#include <netinet/in.h>
#include <xtables.h>
#include <linux/netfilter_ipv4/ip_tables.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libzarn/format.h"
#include "libzarn/log.h"

namespace {

constexpr unsigned kOptionOffsetScale = 256;  // option code range of one extension
// Longer chain names are cut short by the table library (the kernel keeps 28
// characters), which would make a chain of another name: refuse them.
constexpr size_t kChainNameMax = 28;

// Malformed command lines.
constexpr int kBadLine = -1;
constexpr int kNoTable = -2;

// Messages of the fatal cases carry the interpreter's historic name and version.
void fatal(enum xtables_exittype, const char* msg, ...) __attribute__((noreturn, format(printf, 2, 3)));

struct option kBaseOptions[] = {
    {"append", 1, nullptr, 'A'},        {"delete", 1, nullptr, 'D'},       {"insert", 1, nullptr, 'I'},
    {"replace", 1, nullptr, 'R'},       {"list", 2, nullptr, 'L'},         {"flush", 2, nullptr, 'F'},
    {"zero", 2, nullptr, 'Z'},          {"new-chain", 1, nullptr, 'N'},    {"delete-chain", 2, nullptr, 'X'},
    {"rename-chain", 1, nullptr, 'E'},  {"policy", 1, nullptr, 'P'},       {"source", 1, nullptr, 's'},
    {"destination", 1, nullptr, 'd'},   {"src", 1, nullptr, 's'},          {"dst", 1, nullptr, 'd'},
    {"protocol", 1, nullptr, 'p'},      {"in-interface", 1, nullptr, 'i'}, {"jump", 1, nullptr, 'j'},
    {"table", 1, nullptr, 't'},         {"match", 1, nullptr, 'm'},        {"numeric", 0, nullptr, 'n'},
    {"out-interface", 1, nullptr, 'o'}, {"verbose", 0, nullptr, 'v'},      {"exact", 0, nullptr, 'x'},
    {"fragments", 0, nullptr, 'f'},     {"line-numbers", 0, nullptr, '0'}, {nullptr, 0, nullptr, 0},
};

xtables_globals globals = {
    .option_offset = 0,
    .program_name = "iptables",
    .program_version = "1.3.5",
    .orig_opts = kBaseOptions,
    .opts = nullptr,
    .exit_err = fatal,
    .compat_rev = xtables_compatible_revision,
};

// In a child that tries a line, the end is quick: no exit handlers, no
// stdio buffers of the parent flushed twice.
bool child_tries_line = false;

void fatal(enum xtables_exittype, const char* msg, ...) {
  va_list args;
  va_start(args, msg);
  std::string text = vformat(msg, args);
  va_end(args);
  write_log("%s\n", text.c_str());
  std::fprintf(stderr, "%s v%s: %s\n", globals.program_name, globals.program_version, text.c_str());
  if (child_tries_line) {
    std::fflush(stderr);
    _exit(2);
  }
  std::exit(2);
}

// Commands of the interpreter.
enum class Command {
  none,
  append,
  remove,
  insert,
  replace,
  list,
  flush,
  zero,
  new_chain,
  delete_chain,
  rename,
  policy
};

// Everything one command line says.
struct ParsedCommand {
  Command command = Command::none;
  std::string table = "filter";
  std::string chain;
  std::string second;  // new chain name, policy, or rule number text
  int rulenum = 0;     // 1-based; 0 when none was given
  std::string jump;
  std::vector<in_addr> saddrs, smasks, daddrs, dmasks;
  xtables_rule_match* matches = nullptr;
  xtables_target* target = nullptr;
  xtables_target* standard = nullptr;  // the target a rule without -j takes
  bool proto_loaded = false;
  ipt_entry fw{};  // last: the kernel type ends in a flexible array

  ~ParsedCommand() {
    xtables_rule_matches_free(&matches);
    for (xtables_target* t : {target, standard}) {
      if (!t) continue;
      std::free(t->t);
      t->t = nullptr;
    }
  }
};

void init_match(xtables_match* m) {
  if (m->udata_size != 0) {
    std::free(m->udata);
    m->udata = xtables_calloc(1, m->udata_size);
  }
  if (m->init) m->init(m->m);
}

void merge_match_options(xtables_match* m) {
  if (m->x6_options)
    globals.opts = xtables_options_xfrm(globals.orig_opts, globals.opts, m->x6_options, &m->option_offset);
  else
    globals.opts = xtables_merge_options(globals.orig_opts, globals.opts, m->extra_opts, &m->option_offset);
  if (!globals.opts) xtables_error(OTHER_PROBLEM, "can't alloc memory!");
}

void prepare_match(xtables_match* m) {
  size_t size = XT_ALIGN(sizeof(xt_entry_match)) + m->size;
  m->m = static_cast<xt_entry_match*>(xtables_calloc(1, size));
  m->m->u.match_size = static_cast<uint16_t>(size);
  std::strcpy(m->m->u.user.name, m->real_name ? m->real_name : m->name);
  m->m->u.user.revision = m->revision;
  m->mflags = 0;
  init_match(m);
  merge_match_options(m);
}

void prepare_target(xtables_target* t, const std::string& name) {
  size_t size = XT_ALIGN(sizeof(xt_entry_target)) + t->size;
  t->t = static_cast<xt_entry_target*>(xtables_calloc(1, size));
  t->t->u.target_size = static_cast<uint16_t>(size);
  std::snprintf(t->t->u.user.name, sizeof t->t->u.user.name, "%s", t->real_name ? t->real_name : name.c_str());
  t->t->u.user.revision = t->revision;
  t->tflags = 0;
  if (t->udata_size != 0) {
    std::free(t->udata);
    t->udata = xtables_calloc(1, t->udata_size);
  }
  if (t->init) t->init(t->t);
  if (t->x6_options)
    globals.opts = xtables_options_xfrm(globals.orig_opts, globals.opts, t->x6_options, &t->option_offset);
  else
    globals.opts = xtables_merge_options(globals.orig_opts, globals.opts, t->extra_opts, &t->option_offset);
  if (!globals.opts) xtables_error(OTHER_PROBLEM, "can't alloc memory!");
}

// The protocol's own match (tcp, udp, icmp) for options such as --dport
// given after -p without -m; null when there is none.
xtables_match* load_protocol_match(ParsedCommand& pc) {
  if (pc.proto_loaded || pc.fw.ip.proto == 0 || (pc.fw.ip.invflags & XT_INV_PROTO)) return nullptr;
  const char* name = nullptr;
  for (const xtables_pprot* p = xtables_chain_protos; p->name; ++p)
    if (p->num == pc.fw.ip.proto) name = p->name;
  if (!name) return nullptr;
  pc.proto_loaded = true;
  return xtables_find_match(name, XTF_TRY_LOAD, &pc.matches);
}

// Hands an option code to the extension that owns it. False when none does.
bool extension_option(ParsedCommand& pc, int c, char** argv, bool invert) {
  unsigned code = static_cast<unsigned>(c);
  xtables_target* t = pc.target;
  if (t && (t->parse || t->x6_parse) && code >= t->option_offset && code < t->option_offset + kOptionOffsetScale) {
    xtables_option_tpcall(code, argv, invert, t, &pc.fw);
    return true;
  }
  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next) {
    xtables_match* m = mp->match;
    if (mp->completed || (!m->parse && !m->x6_parse)) continue;
    if (code < m->option_offset || code >= m->option_offset + kOptionOffsetScale) continue;
    xtables_option_mpcall(code, argv, invert, m, &pc.fw);
    return true;
  }
  return false;
}

bool is_rule_command(Command c) {
  return c == Command::append || c == Command::remove || c == Command::insert || c == Command::replace;
}

bool set_command(ParsedCommand& pc, Command c) {
  if (pc.command != Command::none) return false;
  pc.command = c;
  return true;
}

// An optional operand that follows a command (a chain name, a rule number).
const char* next_word(int argc, char** argv) {
  if (optind < argc && argv[optind][0] != '-' && argv[optind][0] != '!' && argv[optind][0] != '\0')
    return argv[optind++];
  return nullptr;
}

bool parse_rulenum(const char* text, int* out) {
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (!*text || *end || n < 1 || n > 1000000) return false;
  *out = static_cast<int>(n);
  return true;
}

void parse_addresses(const char* text, std::vector<in_addr>* addrs, std::vector<in_addr>* masks) {
  in_addr* a = nullptr;
  in_addr* m = nullptr;
  unsigned n = 0;
  xtables_ipparse_multiple(text, &a, &m, &n);
  addrs->assign(a, a + n);
  masks->assign(m, m + n);
  std::free(a);
  std::free(m);
}

// Parses the vector into `pc`. 1, or a negative value for a malformed line.
// -A, -D, -I, -R, -N, -E or -P on the chain in optarg, with the word that
// some of them take after it (a rule number, a new name, a policy).
bool parse_chain_command(int c, int argc, char** argv, ParsedCommand& pc) {
  static const struct {
    char c;
    Command cmd;
  } kMap[] = {{'A', Command::append},    {'D', Command::remove}, {'I', Command::insert}, {'R', Command::replace},
              {'N', Command::new_chain}, {'E', Command::rename}, {'P', Command::policy}};
  Command cmd = Command::none;
  for (auto& e : kMap)
    if (e.c == c) cmd = e.cmd;
  if (!set_command(pc, cmd)) return false;
  pc.chain = optarg;
  if (cmd == Command::remove || cmd == Command::insert) {
    const char* w = next_word(argc, argv);
    return !w || parse_rulenum(w, &pc.rulenum);
  }
  if (cmd == Command::replace) {
    const char* w = next_word(argc, argv);
    return w && parse_rulenum(w, &pc.rulenum);
  }
  if (cmd == Command::rename || cmd == Command::policy) {
    const char* w = next_word(argc, argv);
    if (!w) return false;
    pc.second = w;
  }
  return true;
}

// -L, -F, -Z or -X, with the chain attached, as the next word, or none (every chain).
bool parse_listing_command(int c, int argc, char** argv, ParsedCommand& pc) {
  Command cmd = c == 'L' ? Command::list : c == 'F' ? Command::flush : c == 'Z' ? Command::zero : Command::delete_chain;
  if (!set_command(pc, cmd)) return false;
  if (optarg)
    pc.chain = optarg;
  else if (const char* w = next_word(argc, argv))
    pc.chain = w;
  return true;
}

// The interface of -i or -o; an empty name is malformed.
bool parse_interface(const char* text, char* name, unsigned char* mask) {
  if (!*text) return false;
  xtables_parse_interface(text, name, mask);
  return true;
}

int parse(int argc, char** argv, ParsedCommand& pc) {
  static const char kShortOptions[] = "-:A:D:R:I:L::F::Z::N:X::E:P:o:p:s:d:j:i:fvnt:m:x0";
  globals.opts = globals.orig_opts;
  optind = 0;
  opterr = 0;
  bool invert = false;
  std::string saddr, daddr;
  std::string rule_options;  // rule options given, for the check against chain commands
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, globals.opts, nullptr)) != -1) {
    switch (c) {
      case 'A':
      case 'D':
      case 'I':
      case 'R':
      case 'N':
      case 'E':
      case 'P':
        if (!parse_chain_command(c, argc, argv, pc)) return kBadLine;
        break;
      case 'L':
      case 'F':
      case 'Z':
      case 'X':
        if (!parse_listing_command(c, argc, argv, pc)) return kBadLine;
        break;
      case 'p':
        rule_options += 'p';
        pc.fw.ip.proto = xtables_parse_protocol(optarg);
        if (invert) pc.fw.ip.invflags |= XT_INV_PROTO;
        if (pc.fw.ip.proto == 0 && (pc.fw.ip.invflags & XT_INV_PROTO)) return kBadLine;
        break;
      case 's':
        rule_options += 's';
        saddr = optarg;
        if (invert) pc.fw.ip.invflags |= IPT_INV_SRCIP;
        break;
      case 'd':
        rule_options += 'd';
        daddr = optarg;
        if (invert) pc.fw.ip.invflags |= IPT_INV_DSTIP;
        break;
      case 'i':
        rule_options += 'i';
        if (!parse_interface(optarg, pc.fw.ip.iniface, pc.fw.ip.iniface_mask)) return kBadLine;
        if (invert) pc.fw.ip.invflags |= IPT_INV_VIA_IN;
        break;
      case 'o':
        rule_options += 'o';
        if (!parse_interface(optarg, pc.fw.ip.outiface, pc.fw.ip.outiface_mask)) return kBadLine;
        if (invert) pc.fw.ip.invflags |= IPT_INV_VIA_OUT;
        break;
      case 'f':
        rule_options += 'f';
        pc.fw.ip.flags |= IPT_F_FRAG;
        if (invert) pc.fw.ip.invflags |= IPT_INV_FRAG;
        break;
      case 'j': {
        rule_options += 'j';
        if (pc.target || !pc.jump.empty()) return kBadLine;
        pc.jump = optarg;
        pc.target = xtables_find_target(optarg, XTF_TRY_LOAD);
        if (pc.target) prepare_target(pc.target, pc.jump);
        break;
      }
      case 'm': {
        rule_options += 'm';
        if (invert) return kBadLine;
        xtables_match* m = xtables_find_match(optarg, XTF_LOAD_MUST_SUCCEED, &pc.matches);
        prepare_match(m);
        break;
      }
      case 't':
        if (invert) return kBadLine;
        pc.table = optarg;
        break;
      case 'n':
      case 'v':
      case 'x':
      case '0':
        break;
      case 1:
        // "!" inverts the next option; any other free word is malformed
        // (an empty one comes from two spaces in a row).
        if (optarg[0] == '!' && optarg[1] == '\0' && !invert) {
          invert = true;
          continue;
        }
        return kBadLine;
      default:
        if (c == ':') return kBadLine;
        // An unknown option may belong to the protocol's match (--dport after -p tcp).
        if (c == '?' || !extension_option(pc, c, argv, invert)) {
          if (xtables_match* m = load_protocol_match(pc)) {
            prepare_match(m);
            optind--;  // parse the same option again, now that its match is loaded
            continue;
          }
          return kBadLine;
        }
    }
    invert = false;
  }
  if (optind < argc) return kBadLine;
  if (pc.command == Command::none) return kBadLine;
  if (!is_rule_command(pc.command) && !rule_options.empty())
    xtables_error(PARAMETER_PROBLEM, "Illegal option `-%c' with this command\n", rule_options[0]);
  if (pc.chain.size() > kChainNameMax) return kBadLine;

  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next) xtables_option_mfcall(mp->match);
  if (pc.target) xtables_option_tfcall(pc.target);

  if (!saddr.empty()) parse_addresses(saddr.c_str(), &pc.saddrs, &pc.smasks);
  if (!daddr.empty()) parse_addresses(daddr.c_str(), &pc.daddrs, &pc.dmasks);
  return 1;
}

bool is_input_only(const std::string& chain) { return chain == "PREROUTING" || chain == "INPUT"; }
bool is_output_only(const std::string& chain) { return chain == "POSTROUTING" || chain == "OUTPUT"; }

// One rule as the kernel takes it: entry, matches, target.
std::vector<unsigned char> build_entry(const ParsedCommand& pc, const xt_entry_target* target) {
  size_t size = sizeof(ipt_entry);
  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next) size += mp->match->m->u.match_size;
  std::vector<unsigned char> bytes(size + target->u.target_size);
  auto* e = reinterpret_cast<ipt_entry*>(bytes.data());
  *e = pc.fw;
  e->target_offset = static_cast<uint16_t>(size);
  e->next_offset = static_cast<uint16_t>(size + target->u.target_size);
  size_t at = 0;
  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next) {
    std::memcpy(e->elems + at, mp->match->m, mp->match->m->u.match_size);
    at += mp->match->m->u.match_size;
  }
  std::memcpy(e->elems + at, target, target->u.target_size);
  return bytes;
}

// Which bytes of a rule a delete compares: the entry, the user-visible part
// of each match and of the target.
std::vector<unsigned char> delete_mask(const ParsedCommand& pc, const xtables_target* target) {
  size_t size = sizeof(ipt_entry);
  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next)
    size += XT_ALIGN(sizeof(xt_entry_match)) + mp->match->size;
  std::vector<unsigned char> mask(size + XT_ALIGN(sizeof(xt_entry_target)) + target->size, 0);
  std::memset(mask.data(), 0xFF, sizeof(ipt_entry));
  size_t at = sizeof(ipt_entry);
  for (xtables_rule_match* mp = pc.matches; mp; mp = mp->next) {
    std::memset(mask.data() + at, 0xFF, XT_ALIGN(sizeof(xt_entry_match)) + mp->match->userspacesize);
    at += XT_ALIGN(sizeof(xt_entry_match)) + mp->match->size;
  }
  std::memset(mask.data() + at, 0xFF, XT_ALIGN(sizeof(xt_entry_target)) + target->userspacesize);
  return mask;
}

// Applies fn to every chain of the table (user-defined only when asked).
template <typename Fn>
int for_each_chain(xtc_handle* h, bool user_only, Fn fn) {
  std::vector<std::string> chains;
  for (const char* c = iptc_first_chain(h); c; c = iptc_next_chain(h))
    if (!user_only || !iptc_builtin(c, h)) chains.emplace_back(c);
  int ret = 1;
  for (const std::string& c : chains) ret &= fn(c.c_str());
  return ret;
}

int apply_rule_command(ParsedCommand& pc, xtc_handle* h) {
  // A rule without -j (or with a chain name) takes the standard target.
  xtables_target* target = pc.target;
  // A jump to something that is neither an extension nor a chain names a
  // target extension that could not be loaded.
  if (!target && !pc.jump.empty() && !iptc_is_chain(pc.jump.c_str(), h))
    xtables_find_target(pc.jump.c_str(), XTF_LOAD_MUST_SUCCEED);
  if (!target) {
    target = pc.standard = xtables_find_target(XT_STANDARD_TARGET, XTF_LOAD_MUST_SUCCEED);
    prepare_target(target, pc.jump);
    std::snprintf(target->t->u.user.name, sizeof target->t->u.user.name, "%s", pc.jump.c_str());
  }
  if (pc.saddrs.empty()) pc.saddrs.push_back({}), pc.smasks.push_back({});
  if (pc.daddrs.empty()) pc.daddrs.push_back({}), pc.dmasks.push_back({});
  if ((pc.command == Command::replace || pc.command == Command::insert) &&
      (pc.saddrs.size() > 1 || pc.daddrs.size() > 1))
    return kBadLine;

  int ret = 1;
  std::vector<unsigned char> mask;
  if (pc.command == Command::remove) mask = delete_mask(pc, target);
  for (size_t s = 0; s < pc.saddrs.size(); ++s) {
    for (size_t d = 0; d < pc.daddrs.size(); ++d) {
      pc.fw.ip.src.s_addr = pc.saddrs[s].s_addr & pc.smasks[s].s_addr;
      pc.fw.ip.smsk = pc.smasks[s];
      pc.fw.ip.dst.s_addr = pc.daddrs[d].s_addr & pc.dmasks[d].s_addr;
      pc.fw.ip.dmsk = pc.dmasks[d];
      std::vector<unsigned char> bytes = build_entry(pc, target->t);
      auto* e = reinterpret_cast<ipt_entry*>(bytes.data());
      const char* chain = pc.chain.c_str();
      switch (pc.command) {
        case Command::append:
          ret &= iptc_append_entry(chain, e, h);
          break;
        case Command::remove:
          ret &= iptc_delete_entry(chain, e, mask.data(), h);
          break;
        case Command::insert:
          ret &= iptc_insert_entry(chain, e, static_cast<unsigned>(std::max(pc.rulenum, 1) - 1), h);
          break;
        case Command::replace:
          ret &= iptc_replace_entry(chain, e, static_cast<unsigned>(pc.rulenum - 1), h);
          break;
        default:
          return kBadLine;
      }
    }
  }
  return ret;
}

}  // namespace

void iptables_fatal_ends_child() { child_tries_line = true; }

void iptables_init() {
  static bool done = false;
  if (done) return;
  if (xtables_init_all(&globals, NFPROTO_IPV4) < 0) fatal(OTHER_PROBLEM, "failed to initialize xtables");
  done = true;
}

namespace {
int apply(ParsedCommand& pc, TableSession& session);
}  // namespace

int parse_command_line(int argc, char** argv) {
  iptables_init();
  ParsedCommand pc;
  int parsed = parse(argc, argv, pc);
  xtables_free_opts(1);
  return parsed;
}

int do_command(int argc, char** argv, TableSession& session) {
  iptables_init();
  ParsedCommand pc;
  int parsed = parse(argc, argv, pc);
  if (parsed < 0) {
    xtables_free_opts(1);
    return parsed;
  }
  int result = apply(pc, session);
  xtables_free_opts(1);
  return result;
}

namespace {

int apply(ParsedCommand& pc, TableSession& session) {
  if (is_rule_command(pc.command)) {
    if (pc.fw.ip.outiface[0] && is_input_only(pc.chain)) return kBadLine;
    if (pc.fw.ip.iniface[0] && is_output_only(pc.chain)) return kBadLine;
  }

  xtc_handle* h = session_table(session, pc.table);
  if (!h) return kNoTable;

  const char* chain = pc.chain.empty() ? nullptr : pc.chain.c_str();
  switch (pc.command) {
    case Command::append:
    case Command::insert:
    case Command::replace:
      return apply_rule_command(pc, h);
    case Command::remove:
      if (pc.rulenum > 0) return iptc_delete_num_entry(chain, static_cast<unsigned>(pc.rulenum - 1), h);
      return apply_rule_command(pc, h);
    case Command::list:
      return chain ? iptc_is_chain(chain, h) : 1;
    case Command::flush:
      if (chain) return iptc_flush_entries(chain, h);
      return for_each_chain(h, false, [h](const char* c) { return iptc_flush_entries(c, h); });
    case Command::zero:
      if (chain) return iptc_zero_entries(chain, h);
      return for_each_chain(h, false, [h](const char* c) { return iptc_zero_entries(c, h); });
    case Command::new_chain:
      return iptc_create_chain(chain, h);
    case Command::delete_chain:
      if (chain) return iptc_delete_chain(chain, h);
      return for_each_chain(h, true, [h](const char* c) { return iptc_delete_chain(c, h); });
    case Command::rename:
      if (pc.second.size() > kChainNameMax) return kBadLine;
      return iptc_rename_chain(chain, pc.second.c_str(), h);
    case Command::policy:
      return iptc_set_policy(chain, pc.second.c_str(), nullptr, h);
    case Command::none:
      break;
  }
  return kBadLine;
}

}  // namespace
