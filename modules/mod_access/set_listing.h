// Reading the members of an address,MAC set out of its listing.
#pragma once

#include <map>
#include <string>
#include <vector>

// The "ADDRESS,MAC" lines after "Members:" of a set listing, as address ->
// MACs (upper case, as the rule tables print them).
std::map<std::string, std::vector<std::string>> set_members_by_address(const std::string& listing);
