// The rebuild and the one-client addition as they read the database before
// the addresses were grouped: one address query per client and device, the
// restriction rows once per device. Kept for the tests only, as the reference
// whose output the module must still give line for line.
#pragma once

#include "modules/mod_shaper/tc_batch.h"

namespace shaper_reference {

int load(TcBatch& batch, int type, int router_id);
int user_add(TcBatch& batch, const char* client_id, int router_id);

}  // namespace shaper_reference
