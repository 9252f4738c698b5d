// The client step that both the rebuild and restrict_user_add take, and what
// the rebuild reads about all the router's clients before it.
#pragma once

#include <mysql.h>

#include <optional>

#include "libzarn/sql.h"
#include "modules/mod_shaper/address_book.h"
#include "modules/mod_shaper/class_numbers.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/tc_batch.h"

namespace shaper {

// The client step of a rebuild for restriction row `r` (select *) on a device:
// the client's metro and extern classes, then for every address of the client
// in `book` its metro and extern u32 filters. `fields` is the row's column
// count; `book` is null when the addresses could not be read (no filters).
// A row whose class numbers `classes` refuses issues nothing.
void client_step(TcBatch& batch, const DeviceRow& device, MYSQL_ROW r, unsigned fields, const AddressBook* book,
                 ClassRegister& classes);

// What a rebuild reads about the router's clients: their restriction rows
// and the addresses of all of them, in two queries.
struct RouterClients {
  bool read = false;
  SqlResult restrictions;                // empty when the query failed
  std::optional<AddressBook> addresses;  // none when the query failed
};
RouterClients read_router_clients(int router_id);

}  // namespace shaper
