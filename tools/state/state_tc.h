// Reads the HTB classes and u32 filters of a device from the kernel over
// rtnetlink (libmnl).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zarn_state {

// One HTB class of a device.
struct TcClass {
  uint32_t classid = 0;
  uint32_t parent = 0;
  uint64_t rate = 0;  // bytes per second
  uint64_t ceil = 0;
};

// One u32 filter that sends an address to a class.
struct TcFilter {
  uint32_t parent = 0;
  uint32_t classid = 0;
  std::string direction;  // "dst" or "src"
  std::string ip;
  uint32_t handle = 0;  // the filter's u32 handle
};

// The HTB classes of `device`; an empty list when the device does not exist,
// nothing (with the reason in `error`) when the dump fails.
std::optional<std::vector<TcClass>> read_classes(const std::string& device, std::string* error);
// The u32 filters under `parent` on `device` that match one address. The u32
// hash tables are shared by the qdisc, so the dump of one parent shows the
// filters of the other parents too (with their own handles).
std::optional<std::vector<TcFilter>> read_filters(const std::string& device, uint32_t parent, std::string* error);

// "MAJ:MIN" in hexadecimal, as tc writes class ids.
std::string classid_text(uint32_t id);

}  // namespace zarn_state
