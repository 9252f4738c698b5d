#include "gw-runner/tool_options.h"

#include <cstring>

namespace {

// One long option: its exact name (no abbreviation is accepted) and whether
// it takes an argument ("--name=value" or the next word).
struct LongOption {
  std::string_view name;
  bool takes_argument;
};

// The allowed options of one tool, read the way getopt reads them: clusters
// of short options, an argument attached or in the next word, "--" ends the
// options and words that do not begin with "-" are operands wherever they stand.
struct ToolGrammar {
  std::string_view tool;
  std::string_view flags;          // short options without argument
  std::string_view with_argument;  // short options with an argument
  std::vector<LongOption> long_options;
};

const std::vector<ToolGrammar>& grammars() {
  static const std::vector<ToolGrammar> kGrammars = {
      {"tcpdump",
       "AbdDefhHJKlLnNOpqStuUvxX#",
       "BcijQsTy",
       {{"buffer-size", true},
        {"direction", true},
        {"help", false},
        {"immediate-mode", false},
        {"interface", true},
        {"list-interfaces", false},
        {"list-time-stamp-types", false},
        {"micro", false},
        {"nano", false},
        {"number", false},
        {"snapshot-length", true},
        {"time-stamp-precision", true},
        {"time-stamp-type", true},
        {"version", false}}},
      {"mtr",
       "46uTerwjxClpnbzhv",
       "IafmUPLsBiGQZcoy",
       {{"udp", false},      {"tcp", false},         {"interface", true},     {"address", true},
        {"first-ttl", true}, {"max-ttl", true},      {"max-unknown", true},   {"port", true},
        {"localport", true}, {"psize", true},        {"bitpattern", true},    {"interval", true},
        {"gracetime", true}, {"tos", true},          {"mpls", false},         {"timeout", true},
        {"report", false},   {"report-wide", false}, {"report-cycles", true}, {"json", false},
        {"xml", false},      {"csv", false},         {"raw", false},          {"split", false},
        {"no-dns", false},   {"show-ips", false},    {"order", true},         {"ipinfo", true},
        {"aslookup", false}, {"help", false},        {"version", false}}},
      {"arping", "fqbDVh", "cwiI", {}},
  };
  return kGrammars;
}

bool has(std::string_view set, char c) { return c != '\0' && set.find(c) != std::string_view::npos; }

const LongOption* find_long(const ToolGrammar& g, std::string_view name) {
  for (const LongOption& o : g.long_options)
    if (o.name == name) return &o;
  return nullptr;
}

}  // namespace

std::optional<std::string> refused_tool_word(std::string_view tool, const std::vector<std::string>& words) {
  const ToolGrammar* grammar = nullptr;
  for (const ToolGrammar& g : grammars())
    if (g.tool == tool) grammar = &g;
  if (!grammar) return words.empty() ? std::string() : words.front();

  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") return std::nullopt;  // the rest are operands
    if (word.size() < 2 || word[0] != '-') continue;
    if (word[1] == '-') {
      if (grammar->long_options.empty()) return word;
      std::string_view body = std::string_view(word).substr(2);
      size_t equals = body.find('=');
      const LongOption* option = find_long(*grammar, body.substr(0, equals));
      if (!option) return word;
      if (!option->takes_argument && equals != std::string_view::npos) return word;
      if (option->takes_argument && equals == std::string_view::npos && ++i == words.size()) return word;
      continue;
    }
    // A cluster: flags, possibly ended by one option whose argument is the
    // rest of the word or, when nothing is left, the next word.
    for (size_t k = 1; k < word.size(); ++k) {
      char c = word[k];
      if (has(grammar->flags, c)) continue;
      if (!has(grammar->with_argument, c)) return word;
      if (k + 1 == word.size() && ++i == words.size()) return word;
      break;
    }
  }
  return std::nullopt;
}
