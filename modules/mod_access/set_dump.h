// The members of one ip set for one address, read straight from the kernel
// over netlink.
#pragma once

#include <optional>
#include <string>
#include <vector>

// MACs (upper case) of the set's ADDRESS,MAC members whose address, written
// as the set's listing writes it, is `ip`; members without a MAC are left
// out, as the listing's lines without one are. Nothing when the kernel does
// not give the set (no such set, no ip set support).
std::optional<std::vector<std::string>> set_macs_of(const std::string& set, const std::string& ip);
