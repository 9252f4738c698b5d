// The installed module as the runner loads it: `gw-runner internet start`
// calls firewall_operation (a stub here) and then restrict_load of the real
// /zarn/modules/mod_shaper.so, on veth devices of the sandbox.
#include <filesystem>

#include "modules/mod_shaper/shaper_test_rig.h"

using namespace shaper_test;
using namespace zarn_test;
namespace fs = std::filesystem;

namespace {

const std::string kRunner = "/zarn/bin/gw-runner";

TEST(ShaperThroughTheRunner, InternetStartRestartStop) {
  require_private_netns();
  TestDatabase db;
  for (const auto& entry : fs::directory_iterator("/zarn/logs")) fs::remove_all(entry.path());
  write_file("/zarn/conf/zarn-router.conf", db.config_lines());
  fs::copy_file(std::string(ZARN_STUB_DIR) + "/stub_access.so", "/zarn/modules/mod_access.so",
                fs::copy_options::overwrite_existing);
  ASSERT_TRUE(path_exists("/zarn/modules/mod_shaper.so")) << "the installed root carries the real module";
  add_veth("lan0");
  add_veth("lan1");
  db.exec(
      "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`,"
      " active) VALUES (1, 1, 'lan0', 10, 20, '100Mbit', '20Mbit', 1, 1), (2, 1, 'lan1', 11, 0, '100Mbit', '', 0, 1)");
  db.exec("INSERT INTO internet_clients (id, remote) VALUES (1, 1)");
  db.exec("INSERT INTO internet_settings (cid, rid, ip) VALUES (1, 1, '10.1.1.10')");
  db.exec("INSERT INTO internet_restrictions VALUES (1, 1, 4096, 8192, 1024, 2048, 1024, 2048, 512, 1024, 1, 2)");

  const std::set<std::string> lan0{"1:1 root rate 100Mbit ceil 100Mbit burst 2025b",
                                   "1:15 parent 1:1 prio 2 quantum 1536 rate 100Mbit ceil 100Mbit burst 12Kb",
                                   "1:10 parent 1:1 rate 100Mbit ceil 100Mbit burst 12Kb",
                                   "1:20 parent 1:1 rate 20Mbit ceil 20Mbit burst 12Kb",
                                   "1:21 parent 1:10 prio 2 quantum 1536 rate 4Mbit ceil 8Mbit burst 12Kb",
                                   "1:22 parent 1:20 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb"};
  const std::set<std::string> lan1{"1:1 root rate 100Mbit ceil 100Mbit burst 2025b",
                                   "1:15 parent 1:1 prio 2 quantum 1536 rate 100Mbit ceil 100Mbit burst 12Kb",
                                   "1:10 parent 1:1 rate 100Mbit ceil 100Mbit burst 12Kb",
                                   "1:21 parent 1:10 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb"};
  for (const char* verb : {"start", "restart"}) {
    SCOPED_TRACE(verb);
    fs::remove("/zarn/logs/gw-runner.log");
    RunResult r = run_as_zarn({kRunner, "internet", verb, "1"});
    EXPECT_EQ(r.exit_status, 1) << r.output;
    EXPECT_EQ(read_file("/zarn/logs/gw-runner.log"), "ExitCode: 1\n")
        << "the module closed the connection, and the runner found nothing left to close";
    EXPECT_EQ(classes("lan0"), lan0);
    EXPECT_EQ(classes("lan1"), lan1);
    EXPECT_EQ(u32_filters("lan0", "1:10"),
              (std::multiset<std::string>{"pref 10 flowid 1:21 match 0a01010a/ffffffff at 16",
                                          "pref 10 flowid 1:22 match 0a01010a/ffffffff at 16"}));
    EXPECT_EQ(u32_filters("lan1", "1:10"),
              (std::multiset<std::string>{"pref 10 flowid 1:21 match 0a01010a/ffffffff at 12"}));
  }
  std::string calls = read_file("/zarn/logs/calls.log");
  EXPECT_NE(calls.find("firewall_operation 1 1 (null) db=1"), std::string::npos) << calls;

  RunResult stop = run_as_zarn({kRunner, "internet", "stop", "1"});
  EXPECT_EQ(stop.exit_status, 1) << stop.output;
  EXPECT_EQ(qdiscs("lan0"), std::set<std::string>{"noqueue 0: root"});
  EXPECT_EQ(qdiscs("lan1"), std::set<std::string>{"noqueue 0: root"});
  for (const char* d : {"lan0", "lan1"}) run({"/usr/sbin/ip", "link", "del", d});
}

}  // namespace
