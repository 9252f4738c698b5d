#include "modules/mod_shaper/class_numbers.h"

#include <cstdlib>

#include "libzarn/log.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/values.h"

namespace shaper {

namespace {

constexpr long kLeastClassNumber = 1;
constexpr long kMostClassNumber = 9979;  // + 20 = 9999, written 1:0x9999

const char* kind_name(bool metro) { return metro ? "metro" : "extern"; }

}  // namespace

bool is_class_number(const char* text) {
  if (!text || *text == '\0') return false;
  for (const char* c = text; *c; ++c)
    if (*c < '0' || *c > '9' || c - text >= 5) return false;
  long number = std::strtol(text, nullptr, 10);
  return number >= kLeastClassNumber && number <= kMostClassNumber;
}

bool ClassRegister::admit(const DeviceRow& device, MYSQL_ROW r) {
  const std::string cid = column(r, 1);
  struct Wanted {
    bool metro;
    const char* number;
  };
  Wanted wanted[2];
  int count = 0;
  if (device.metro) wanted[count++] = {true, column(r, 10)};
  if (device.extern_) wanted[count++] = {false, column(r, 11)};

  for (int i = 0; i < count; ++i)
    if (!is_class_number(wanted[i].number)) {
      write_log("Bandwidth: row skipped, client %s: %s class %s outside 1..9979\n", loggable(cid).c_str(),
                kind_name(wanted[i].metro), loggable(wanted[i].number).c_str());
      return false;
    }
  for (int i = 0; i < count; ++i) {
    const int minor = class_minor(wanted[i].number);
    Holder holder;
    auto held = holders_.find(minor);
    if (held != holders_.end())
      holder = held->second;
    else if (i == 1 && class_minor(wanted[0].number) == minor)
      holder = {cid, true};  // the row's own metro class
    else
      continue;
    // The same client's row again keeps its classes, as before.
    if (holder.cid == cid && holder.metro == wanted[i].metro) continue;
    write_log("Bandwidth: row skipped, client %s: %s class %s is already the %s class of client %s\n",
              loggable(cid).c_str(), kind_name(wanted[i].metro), loggable(wanted[i].number).c_str(),
              kind_name(holder.metro), loggable(holder.cid).c_str());
    return false;
  }
  for (int i = 0; i < count; ++i) holders_[class_minor(wanted[i].number)] = {cid, wanted[i].metro};
  return true;
}

}  // namespace shaper
