#include "modules/mod_access/row_checks.h"

#include <cstdio>
#include <vector>

#include "libzarn/log.h"
#include "libzarn/string_utils.h"

bool is_host_address(const std::string& text) {
  for (char c : text)
    if ((c < '0' || c > '9') && c != '.') return false;
  return !text.empty() && check_ipv4_address(text.c_str()) == 1;
}

bool is_mac_address(const std::string& text) {
  // check_mac lets text follow the address and the colons be left out.
  if (text.size() != 17) return false;
  for (size_t i = 2; i < text.size(); i += 3)
    if (text[i] != ':') return false;
  return check_mac(text.c_str()) == 1;
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
