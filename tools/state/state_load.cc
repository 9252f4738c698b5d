#include "tools/state/state_load.h"

#include <future>

#include "libzarn/sql.h"
#include "tools/state/state_compare.h"
#include "tools/state/state_database.h"
#include "tools/state/state_kernel.h"

namespace zarn_state {

namespace {

// A second connection for the query that runs beside the others; closed at scope exit.
struct SecondConnection {
  MYSQL* handle = sql_connect();
  ~SecondConnection() { sql_close(handle); }
};

// The kernel's side, read in a thread of its own.
struct KernelRead {
  std::optional<Held> held;
  std::string error;
};

KernelRead read_kernel_side(const std::vector<Network>& networks) {
  KernelRead r;
  r.held = read_kernel(networks, &r.error);
  return r;
}

}  // namespace

std::optional<RouterState> load_state(MYSQL* connection, const std::string& listen_address, std::string* error) {
  std::optional<int> rid = router_id(connection, listen_address);
  if (!rid) {
    *error = "no router with address " + listen_address + " in the database";
    return std::nullopt;
  }
  std::optional<std::vector<Network>> networks = load_networks(connection, *rid, error);
  if (!networks) return std::nullopt;
  std::future<KernelRead> kernel = std::async(std::launch::async, read_kernel_side, *networks);

  SecondConnection second;
  if (!second.handle) {
    *error = "cannot open a second database connection";
    return std::nullopt;
  }
  std::optional<Desired> desired = load_desired(connection, second.handle, *rid, std::move(*networks), error);
  std::optional<Shaping> shaping;
  if (desired) shaping = load_shaping(connection, *rid, error);
  if (shaping && !read_shaping(*shaping, error)) shaping.reset();
  KernelRead k = kernel.get();
  if (!desired || !shaping) return std::nullopt;
  if (!k.held) {
    *error = k.error;
    return std::nullopt;
  }
  k.held->client_classes = shaping->held_classes.size();
  k.held->client_filters = shaping->held_filters.size();
  RouterState state{*rid, std::move(*desired), std::move(*k.held), std::move(*shaping), {}};
  state.differences = compare(state.desired, state.held);
  std::vector<Difference> shaping_differences = compare_shaping(state.shaping, state.desired.settings);
  state.differences.insert(state.differences.end(), shaping_differences.begin(), shaping_differences.end());
  return state;
}

}  // namespace zarn_state
