#include "modules/mod_shaper/address_book.h"

namespace shaper {

AddressBook group_addresses(MYSQL_RES* rows) {
  AddressBook book;
  while (MYSQL_ROW row = mysql_fetch_row(rows)) book[row[0] ? row[0] : ""].emplace_back(row[1] ? row[1] : "");
  return book;
}

const std::vector<std::string>& addresses_of(const AddressBook& book, const std::string& cid) {
  static const std::vector<std::string> kNone;
  auto it = book.find(cid);
  return it == book.end() ? kNone : it->second;
}

}  // namespace shaper
