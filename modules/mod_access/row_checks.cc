#include "modules/mod_access/row_checks.h"

#include <cstdio>
#include <vector>

#include "libzarn/log.h"
#include "libzarn/string_utils.h"

// Both read as check_ipv4_address and check_mac do (the tests hold them to
// it), without a pattern match: a start checks every paid row with them.
bool is_host_address(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = i;
    unsigned value = 0;
    while (end < text.size() && end - i < 4 && text[end] >= '0' && text[end] <= '9')
      value = value * 10 + (text[end++] - '0');
    const size_t digits = end - i;
    if (digits == 0 || digits > 3 || (digits > 1 && text[i] == '0')) return false;  // one text, one reading
    if (value > (parts == 0 ? 254u : 255u)) return false;
    ++parts;
    if (end == text.size()) break;
    if (text[end] != '.' || parts == 4) return false;
    i = end + 1;
    if (i == text.size()) return false;
  }
  return parts == 4;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parse_mac(const std::string& text, std::array<uint8_t, 6>* mac) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 6; ++i) {
    int high = hex_digit(text[3 * i]), low = hex_digit(text[3 * i + 1]);
    if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':')) return false;
    (*mac)[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

bool is_mac_address(const std::string& text) {
  std::array<uint8_t, 6> mac{};
  return parse_mac(text, &mac);
}

bool is_network(const std::string& text) {
  size_t slash = text.find('/');
  if (slash == std::string::npos || slash + 1 == text.size() || text.size() - slash > 3) return false;
  for (size_t i = slash + 1; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  if (text[slash + 1] == '0' && slash + 2 < text.size()) return false;  // "/08": one text, one reading
  if (std::stoi(text.substr(slash + 1)) > 32) return false;
  std::string address = text.substr(0, slash);
  for (char c : address)
    if ((c < '0' || c > '9') && c != '.') return false;
  return !address.empty() && check_ipv4_network(address.c_str()) == 1;
}

bool is_port_list(const std::string& text, int slots) {
  int used = 0;
  for (const std::string& item : splitStr(text, ",")) {
    std::vector<std::string> ends = splitStr(item, ":");
    if (ends.size() > 2) return false;
    for (const std::string& port : ends) {
      if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
      if (std::stoi(port) > 65535) return false;
    }
    used += static_cast<int>(ends.size());
  }
  return used <= slots;
}

bool skip_row(const char* what, const std::string& value) {
  std::string shown;
  for (char c : value.substr(0, 64)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  write_log("Internet: row skipped, bad %s: %s\n", what, shown.c_str());
  return false;
}
