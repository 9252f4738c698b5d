#include "modules/mod_access/set_listing.h"

#include <cctype>
#include <sstream>

std::map<std::string, std::vector<std::string>> set_members_by_address(const std::string& listing) {
  std::map<std::string, std::vector<std::string>> members;
  std::istringstream lines(listing);
  std::string line;
  bool in_members = false;
  while (std::getline(lines, line)) {
    if (!in_members) {
      in_members = line == "Members:";
      continue;
    }
    size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    std::string mac = line.substr(comma + 1, 17);
    for (char& c : mac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    members[line.substr(0, comma)].push_back(mac);
  }
  return members;
}
