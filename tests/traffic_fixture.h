// The rig's router with its database, for the tests that send traffic
// through it: the firewall and shaping are built by the installed runner.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "tests/access_fixture.h"
#include "tests/router_harness.h"
#include "tests/traffic_rig.h"

namespace zarn_test {

// The rig, the database loaded with the rig's router, the router's configuration written.
class TrafficTest : public testing::Test {
 protected:
  void SetUp() override {
    load_traffic_router(db_);
    configure_router(db_);
    write_router_config();
  }
  // zarn-router.conf for the rig's router, with these extra lines.
  void write_router_config(const std::string& extra = "") {
    write_file("/zarn/conf/zarn-router.conf", "listenport " + std::to_string(kRouterPort) + "\nlistenaddr " +
                                                  kMasterAddress + "\nmaster_server " + kMasterAddress +
                                                  "\ncrypt_key routerkey\n" + db_.config_lines() + extra);
  }
  void start_firewall() {
    RunResult start = runner({"internet", "start", "1"});
    ASSERT_EQ(start.exit_status, 1) << read_file("/zarn/logs/gw-runner.log");
  }

  TrafficRig rig_;
  TestDatabase db_;
};

}  // namespace zarn_test
