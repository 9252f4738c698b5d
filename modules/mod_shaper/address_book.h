// The addresses of many clients read in one query and grouped by client, so
// that a rebuild costs the same few round trips whatever the router's size.
#pragma once

#include <mysql.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace shaper {

// Address texts by the text of the client id, each client's in row order.
using AddressBook = std::unordered_map<std::string, std::vector<std::string>>;

// Groups the rows (cid, ip, ...) of a result by cid (SQL null as empty text).
AddressBook group_addresses(MYSQL_RES* rows);

// The client's addresses in the book, or none.
const std::vector<std::string>& addresses_of(const AddressBook& book, const std::string& cid);

}  // namespace shaper
