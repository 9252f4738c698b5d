#include "modules/mod_shaper/values.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <unordered_map>

#include "libzarn/format.h"
#include "libzarn/string_utils.h"

namespace {

constexpr size_t kInterfaceNameMax = 15;  // IFNAMSIZ - 1

// The units tc's rate parser knows (compared without regard to case).
constexpr const char* kRateUnits[] = {"bit", "kibit", "kbit", "mibit", "mbit", "gibit", "gbit", "tibit", "tbit",
                                      "bps", "kibps", "kbps", "mibps", "mbps", "gibps", "gbps", "tibps", "tbps"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool is_device_name(std::string_view text) {
  if (text.empty() || text.size() > kInterfaceNameMax || text == "." || text == "..") return false;
  for (char c : text)
    if (!is_digit(c) && !is_alpha(c) && c != '.' && c != '-' && c != '_') return false;
  return true;
}

bool is_rate(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_digit(text[i])) ++i;
  if (i == 0) return false;
  if (i < text.size() && text[i] == '.') {
    size_t fraction = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    if (i == fraction) return false;
  }
  std::string unit(text.substr(i));
  if (unit.empty()) return true;
  for (const char* known : kRateUnits)
    if (strcasecmp(unit.c_str(), known) == 0) return true;
  return false;
}

bool is_mark(std::string_view text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (!is_digit(c)) return false;
  return true;
}

bool is_address(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!is_digit(c) && c != '.') return false;
  // check_ipv4_address compiles its pattern on every call; a rebuild meets
  // every address once per device.
  static std::unordered_map<std::string, bool> checked;
  auto [it, added] = checked.try_emplace(text, false);
  if (added) it->second = check_ipv4_address(text.c_str()) == 1;
  return it->second;
}

std::string rate_text(const char* kbit) {
  // The columns are unsigned 32-bit: read the whole range (atoi would wrap
  // the upper half to negative rates), a negative text as 0.
  long long number = std::strtoll(kbit ? kbit : "0", nullptr, 10);
  number = std::clamp<long long>(number, 0, std::numeric_limits<uint32_t>::max());
  float value = static_cast<float>(number);
  if (value >= 1024) return format("%.0fMbit", static_cast<double>(value / 1024));
  return format("%.0fKbit", static_cast<double>(value));
}

int class_minor(const char* class_number) {
  // Read beyond int and capped, so that no class number overflows the sum or
  // wraps around to the minor of another class.
  constexpr long long kLeast = std::numeric_limits<int>::min(), kMost = std::numeric_limits<int>::max();
  long long number = std::clamp(std::strtoll(class_number ? class_number : "0", nullptr, 10), kLeast, kMost);
  return static_cast<int>(std::min(number + 20, kMost));
}

std::string loggable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 64)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}
