// The class numbers of internet_restrictions rows: a client's class minor is
// its number plus 20, so only 1 to 9979 give a minor of its own (0 would be
// the shared extern class 1:0x20, 9980 and above leave 16 bits), and the
// metro and extern classes of all clients share one device's minor space.
#pragma once

#include <mysql.h>

#include <string>
#include <unordered_map>

namespace shaper {

struct DeviceRow;

// Whether the text is a class number the tree can hold: decimal, 1 to 9979.
bool is_class_number(const char* text);

// The client classes given out on one device, in the order of the rows.
class ClassRegister {
 public:
  // Whether restriction row `r` (at least 12 columns) may have its classes on
  // the device: the numbers of the kinds the device shapes are in range and
  // held by no other client, nor by the row's other kind. A refused row is
  // logged ("Bandwidth: row skipped, client ...") and takes no number.
  bool admit(const DeviceRow& device, MYSQL_ROW r);

 private:
  // Who holds a minor: the client id and the kind.
  struct Holder {
    std::string cid;
    bool metro = false;
  };
  std::unordered_map<int, Holder> holders_;
};

}  // namespace shaper
