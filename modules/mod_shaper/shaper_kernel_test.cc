// Parts 5.1 and 5.2 on the real kernel (veth devices in the sandbox's network
// namespace) and the real database. This kernel has no fw classifier: the fw
// filter lines of the tree fail there, silently as every failing tc line
// does, and the tests check everything else (kernel_has_fw says which).
#include <algorithm>

#include "libzarn/globals.h"
#include "libzarn/sql.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/shaper_test_rig.h"

using namespace shaper_test;
using namespace zarn_test;
using Set = std::set<std::string>;
using Multi = std::multiset<std::string>;

namespace {

// Router 1: sh0 (both marks, towards the clients), sh1 (metro only, from the
// clients), sh2 (inactive), sh3 (no marks). Router 2: sh4.
// Clients of router 1: 1 with two addresses (classes 5, 6), 2 without an
// address (classes 7, 8). Client 3 belongs to router 2.
class RouterTest : public ShaperTest {
 protected:
  void SetUp() override {
    ShaperTest::SetUp();
    for (const char* d : {"sh0", "sh1", "sh2", "sh3", "sh4"}) add_veth(d);
    db_.exec(
        "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`,"
        " active) VALUES (1, 1, 'sh0', 10, 20, '100Mbit', '20Mbit', 1, 1), (2, 1, 'sh1', 11, 0, '50Mbit', '0Mbit', 0, "
        "1),"
        " (3, 1, 'sh2', 12, 22, '10Mbit', '10Mbit', 1, 0), (4, 1, 'sh3', 0, 0, '10Mbit', '10Mbit', 1, 1),"
        " (5, 2, 'sh4', 13, 23, '10Mbit', '10Mbit', 1, 1)");
    db_.exec("INSERT INTO internet_clients (id, remote) VALUES (1, 1), (2, 1), (3, 2)");
    db_.exec(
        "INSERT INTO internet_settings (cid, rid, ip) VALUES (1, 1, '10.1.1.10'), (1, 1, '10.1.2.20'),"
        " (3, 2, '10.2.2.2')");
    db_.exec(
        "INSERT INTO internet_restrictions VALUES (1, 1, 4096, 8192, 1024, 2048, 1024, 2048, 512, 1024, 5, 6),"
        " (2, 2, 2048, 4096, 512, 1024, 512, 1024, 256, 512, 7, 8),"
        " (3, 3, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 1024, 11, 12)");
  }
  void reconnect() {
    if (!mysql_r) mysql_r = sql_connect();
    ASSERT_NE(mysql_r, nullptr);
  }
  static bool has_htb(const std::string& device) {
    Set q = qdiscs(device);
    return std::any_of(q.begin(), q.end(), [](const std::string& s) { return s.rfind("htb", 0) == 0; });
  }

  const Set sh0_tree{"1:1 root rate 100Mbit ceil 100Mbit burst 2025b",
                     "1:15 parent 1:1 prio 2 quantum 1536 rate 100Mbit ceil 100Mbit burst 12Kb",
                     "1:10 parent 1:1 rate 100Mbit ceil 100Mbit burst 12Kb",
                     "1:20 parent 1:1 rate 20Mbit ceil 20Mbit burst 12Kb",
                     "1:25 parent 1:10 prio 2 quantum 1536 rate 4Mbit ceil 8Mbit burst 12Kb",
                     "1:26 parent 1:20 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb",
                     "1:27 parent 1:10 prio 2 quantum 1536 rate 2Mbit ceil 4Mbit burst 12Kb",
                     "1:28 parent 1:20 prio 2 quantum 1536 rate 512Kbit ceil 1Mbit burst 12Kb"};
  // Towards the clients: matched by destination (offset 16 of the IP header).
  const Multi sh0_filters{
      "pref 10 flowid 1:25 match 0a01010a/ffffffff at 16", "pref 10 flowid 1:25 match 0a010214/ffffffff at 16",
      "pref 10 flowid 1:26 match 0a01010a/ffffffff at 16", "pref 10 flowid 1:26 match 0a010214/ffffffff at 16"};
  const Set sh1_tree{"1:1 root rate 50Mbit ceil 50Mbit burst 2Kb",
                     "1:15 parent 1:1 prio 2 quantum 1536 rate 50Mbit ceil 50Mbit burst 12Kb",
                     "1:10 parent 1:1 rate 50Mbit ceil 50Mbit burst 12Kb",
                     "1:25 parent 1:10 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb",
                     "1:27 parent 1:10 prio 2 quantum 1536 rate 512Kbit ceil 1Mbit burst 12Kb"};
  // From the clients: matched by source (offset 12).
  const Multi sh1_filters{"pref 10 flowid 1:25 match 0a01010a/ffffffff at 12",
                          "pref 10 flowid 1:25 match 0a010214/ffffffff at 12"};
  // The pfifo leaves of 1:10 and 1:20 give way to the client classes (HTB
  // turns a leaf with children into an inner class); that of 1:15 stays.
  const Set shaped_qdiscs{"htb 1: root default 0x15", "pfifo 15: parent 1:15 limit 5p"};
  const Set unshaped{"noqueue 0: root"};
};

TEST_F(RouterTest, BuildsTheTreeOfEveryActiveShapedDevice) {
  tc({"qdisc", "add", "dev", "sh2", "root", "handle", "1:", "htb"});
  tc({"qdisc", "add", "dev", "sh4", "root", "handle", "1:", "htb"});

  EXPECT_EQ(restrict_load(1, 1), 1);
  EXPECT_EQ(mysql_r, nullptr) << "the connection is closed and cleared for the host";

  EXPECT_EQ(classes("sh0"), sh0_tree);
  EXPECT_EQ(qdiscs("sh0"), shaped_qdiscs);
  EXPECT_EQ(u32_filters("sh0", "1:10"), sh0_filters);
  EXPECT_EQ(classes("sh1"), sh1_tree) << "metro only, the rates of a device with `in` 0";
  EXPECT_EQ(qdiscs("sh1"), shaped_qdiscs);
  EXPECT_EQ(u32_filters("sh1", "1:10"), sh1_filters);
  EXPECT_EQ(u32_filters("sh1", "1:20"), Multi{}) << "no class 1:20 on this device";
  EXPECT_EQ(qdiscs("sh2"), unshaped) << "an inactive device loses its root qdisc and gets none";
  EXPECT_EQ(qdiscs("sh3"), unshaped) << "a device without marks gets nothing";
  EXPECT_TRUE(has_htb("sh4")) << "another router's device is left alone";
  for (const char* d : {"sh0", "sh1"}) {
    std::string fw = root_filters(d);
    if (kernel_has_fw())
      EXPECT_NE(fw.find("fw"), std::string::npos) << d << ": " << fw;
    else
      EXPECT_EQ(fw, "") << d << ": this kernel has no fw classifier, so the mark filters cannot exist";
  }
  EXPECT_EQ(log(), "") << "no row was refused";

  // The u32 hash tables of one qdisc are shared, so a dump under 1:10 also
  // lists the filters of 1:20. Taking away 1:20's filters shows which were its.
  tc({"filter", "del", "dev", "sh0", "parent", "1:20", "prio", "10"});
  EXPECT_EQ(u32_filters("sh0", "1:10"), (Multi{"pref 10 flowid 1:25 match 0a01010a/ffffffff at 16",
                                               "pref 10 flowid 1:25 match 0a010214/ffffffff at 16"}));
}

TEST_F(RouterTest, RebuildReplacesTheTree) {
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  db_.exec("UPDATE internet_restrictions SET in_metro_rate = 512 WHERE cid = 1");
  db_.exec("DELETE FROM internet_settings WHERE ip = '10.1.2.20'");
  EXPECT_EQ(restrict_load(1, 1), 1);
  Set expected = sh0_tree;
  expected.erase("1:25 parent 1:10 prio 2 quantum 1536 rate 4Mbit ceil 8Mbit burst 12Kb");
  expected.insert("1:25 parent 1:10 prio 2 quantum 1536 rate 512Kbit ceil 8Mbit burst 12Kb");
  EXPECT_EQ(classes("sh0"), expected);
  EXPECT_EQ(u32_filters("sh0", "1:10"), (Multi{"pref 10 flowid 1:25 match 0a01010a/ffffffff at 16",
                                               "pref 10 flowid 1:26 match 0a01010a/ffffffff at 16"}));
}

TEST_F(RouterTest, RemovalTakesEveryRootQdiscAndOtherTypesChangeNothing) {
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  EXPECT_EQ(restrict_load(2, 1), 0);
  EXPECT_EQ(log(), "Unsuported type 2 for load function.\n");
  EXPECT_EQ(classes("sh0"), sh0_tree) << "type 2 changes nothing";
  EXPECT_NE(mysql_r, nullptr);

  tc({"qdisc", "add", "dev", "sh2", "root", "handle", "1:", "htb"});
  tc({"qdisc", "add", "dev", "sh4", "root", "handle", "1:", "htb"});
  EXPECT_EQ(restrict_load(0, 1), 1);
  for (const char* d : {"sh0", "sh1", "sh2", "sh3"}) EXPECT_EQ(qdiscs(d), unshaped) << d;
  EXPECT_TRUE(has_htb("sh4"));
  EXPECT_NE(mysql_r, nullptr) << "only a build closes the connection";
  EXPECT_EQ(restrict_load(0, 99), 1) << "a router without devices";
}

TEST_F(RouterTest, LinesOfTheClientStepInTheirOrder) {
  db_.exec("DELETE FROM routers_devices WHERE id <> 1");
  db_.exec("DELETE FROM internet_restrictions WHERE cid <> 1");
  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::load(batch, 1, 1), 1);
  const std::vector<std::string> expected{
      "qdisc del dev sh0 root",
      "qdisc add dev sh0 root handle 1: htb default 15",
      "class add dev sh0 parent 1: classid 1:1 htb rate 100Mbit ceil 100Mbit burst 2k quantum 1536",
      "class add dev sh0 parent 1:1 classid 1:15 htb rate 100Mbit ceil 100Mbit burst 12k prio 2 quantum 1536",
      "qdisc add dev sh0 parent 1:0x15 handle 0x15: pfifo limit 5",
      "class add dev sh0 parent 1:1 classid 1:10 htb rate 100Mbit ceil 100Mbit burst 12k prio 2 quantum 1536",
      "filter add dev sh0 protocol ip parent 1:0 prio 1 handle 10 fw classid 1:0x10",
      "qdisc add dev sh0 parent 1:0x10 handle 0x10: pfifo limit 5",
      "class add dev sh0 parent 1:1 classid 1:20 htb rate 20Mbit ceil 20Mbit burst 12k prio 2 quantum 1536",
      "filter add dev sh0 protocol ip parent 1:0 prio 1 handle 20 fw classid 1:0x20",
      "qdisc add dev sh0 parent 1:0x20 handle 0x20: pfifo limit 5",
      "class add dev sh0 parent 1:10 classid 1:0x25 htb rate 4Mbit ceil 8Mbit burst 12k prio 2 quantum 1536",
      "class add dev sh0 parent 1:20 classid 1:0x26 htb rate 1Mbit ceil 2Mbit burst 12k prio 2 quantum 1536",
      "filter add dev sh0 protocol ip pref 10 parent 1:10 u32 match ip dst 10.1.1.10 classid 1:0x25",
      "filter add dev sh0 protocol ip pref 10 parent 1:20 u32 match ip dst 10.1.1.10 classid 1:0x26",
      "filter add dev sh0 protocol ip pref 10 parent 1:10 u32 match ip dst 10.1.2.20 classid 1:0x25",
      "filter add dev sh0 protocol ip pref 10 parent 1:20 u32 match ip dst 10.1.2.20 classid 1:0x26",
  };
  EXPECT_EQ(batch.recorded(), expected);
  EXPECT_EQ(classes("sh0"), Set{}) << "a recording batch runs nothing";
}

TEST_F(RouterTest, RowsWithBadValuesAreLoggedAndSkipped) {
  db_.exec(
      "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, `in`, active)"
      " VALUES (6, 1, 'x;touch /tmp/p', 10, 0, '1Mbit', 1, 1)");
  db_.exec("UPDATE routers_devices SET bandwidth_metro = '50Mbit;reboot' WHERE device = 'sh1'");
  db_.exec(
      "INSERT INTO internet_settings (cid, rid, ip) VALUES (1, 1, '10.1.1.1 classid 1:1'),"
      " (1, 1, '10.1.1.1;id')");
  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::load(batch, 1, 1), 1);
  for (const std::string& line : batch.recorded()) {
    EXPECT_EQ(line.find(';'), std::string::npos) << line;
    EXPECT_EQ(line.find("10.1.1.1 "), std::string::npos) << line;
    if (line.find("sh1") != std::string::npos) {
      EXPECT_EQ(line, "qdisc del dev sh1 root");
    }
  }
  EXPECT_EQ(log(),
            "Bandwidth: row skipped, bad device: x;touch /tmp/p\n"          // restrict_devdel
            "Bandwidth: row skipped, bad bandwidth_metro: 50Mbit;reboot\n"  // restrict_devadd
            "Bandwidth: row skipped, bad device: x;touch /tmp/p\n"
            "Bandwidth: row skipped, bad ip: 10.1.1.1 classid 1:1\n"  // the device loop: sh0
            "Bandwidth: row skipped, bad ip: 10.1.1.1;id\n"
            "Bandwidth: row skipped, bad bandwidth_metro: 50Mbit;reboot\n"  // sh1
            "Bandwidth: row skipped, bad device: x;touch /tmp/p\n");        // sh3 issues nothing

  // The same on the kernel: the sound rows get their tree.
  reconnect();
  clear_log();
  EXPECT_EQ(restrict_load(1, 1), 1);
  EXPECT_EQ(classes("sh0"), sh0_tree);
  EXPECT_EQ(u32_filters("sh0", "1:10"), sh0_filters);
  EXPECT_FALSE(has_htb("sh1")) << "the refused row's device is removed but not rebuilt";
  EXPECT_FALSE(path_exists("/tmp/p"));
}

TEST_F(RouterTest, AddingOneClientOnALiveTree) {
  db_.exec("UPDATE internet_restrictions SET cid = 9 WHERE cid = 1");
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});
  db_.exec("UPDATE internet_restrictions SET cid = 1 WHERE cid = 9");
  EXPECT_EQ(restrict_user_add("1", 1), 1);
  EXPECT_EQ(classes("sh0"), sh0_tree) << "the device classes are issued again and fail without effect";
  EXPECT_EQ(u32_filters("sh0", "1:10"), sh0_filters);
  EXPECT_EQ(classes("sh1"), sh1_tree);
  EXPECT_EQ(u32_filters("sh1", "1:10"), sh1_filters);
  EXPECT_NE(mysql_r, nullptr) << "the connection stays open";

  EXPECT_EQ(restrict_user_add("99", 1), 1) << "a client without rows";
  EXPECT_EQ(restrict_user_add("1' or '1'='1", 1), 1);
  EXPECT_EQ(classes("sh0"), sh0_tree);
  EXPECT_EQ(log(), "");
}

TEST_F(RouterTest, UpdatingOneClientsRates) {
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  db_.exec(
      "UPDATE internet_restrictions SET in_metro_rate = 1536, in_metro_ceil = 2560, out_metro_rate = 100,"
      " out_metro_ceil = 200, in_extern_rate = 512, in_extern_ceil = 512 WHERE cid = 1");
  // A second row of the client is not used.
  db_.exec("INSERT INTO internet_restrictions VALUES (4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 5, 6)");
  EXPECT_EQ(restrict_user_update("1", 1), 1);
  Set sh0 = sh0_tree;
  sh0.erase("1:25 parent 1:10 prio 2 quantum 1536 rate 4Mbit ceil 8Mbit burst 12Kb");
  sh0.erase("1:26 parent 1:20 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb");
  sh0.insert("1:25 parent 1:10 prio 2 quantum 1536 rate 2Mbit ceil 2Mbit burst 12Kb");
  sh0.insert("1:26 parent 1:20 prio 2 quantum 1536 rate 512Kbit ceil 512Kbit burst 12Kb");
  EXPECT_EQ(classes("sh0"), sh0);
  Set sh1 = sh1_tree;
  sh1.erase("1:25 parent 1:10 prio 2 quantum 1536 rate 1Mbit ceil 2Mbit burst 12Kb");
  sh1.insert("1:25 parent 1:10 prio 2 quantum 1536 rate 100Kbit ceil 200Kbit burst 12Kb");
  EXPECT_EQ(classes("sh1"), sh1);
  EXPECT_EQ(u32_filters("sh0", "1:10"), sh0_filters) << "filters are not touched";

  EXPECT_EQ(restrict_user_update("99", 1), 0) << "unknown client";
  EXPECT_EQ(restrict_user_update("1", 7), 0) << "router without active devices";

  // A device row with a bad name is skipped: nothing is run for it.
  db_.exec("UPDATE routers_devices SET device = 'sh0;reboot' WHERE device = 'sh0'");
  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::user_update(batch, "1", 1), 1);
  EXPECT_EQ(batch.recorded(),
            (std::vector<std::string>{"class change dev sh1 parent 1:10 classid 1:0x25 htb rate 100Kbit ceil 200Kbit "
                                      "burst 12k prio 2 quantum 1536"}));
  EXPECT_NE(log().find("Bandwidth: row skipped, bad device: sh0;reboot\n"), std::string::npos) << log();
}

TEST_F(RouterTest, RemovingOneClient) {
  db_.exec("DELETE FROM internet_settings WHERE ip = '10.1.2.20'");
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  debug_bandwidth = 1;
  EXPECT_EQ(restrict_user_remove("1", 1), 0) << "0 on every path";
  debug_bandwidth = 0;
  EXPECT_EQ(classes("sh0"), (Set{"1:1 root rate 100Mbit ceil 100Mbit burst 2025b",
                                 "1:15 parent 1:1 prio 2 quantum 1536 rate 100Mbit ceil 100Mbit burst 12Kb",
                                 "1:10 parent 1:1 rate 100Mbit ceil 100Mbit burst 12Kb",
                                 "1:20 parent 1:1 rate 20Mbit ceil 20Mbit burst 12Kb",
                                 "1:27 parent 1:10 prio 2 quantum 1536 rate 2Mbit ceil 4Mbit burst 12Kb",
                                 "1:28 parent 1:20 prio 2 quantum 1536 rate 512Kbit ceil 1Mbit burst 12Kb"}));
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});
  EXPECT_EQ(classes("sh1"), (Set{"1:1 root rate 50Mbit ceil 50Mbit burst 2Kb",
                                 "1:15 parent 1:1 prio 2 quantum 1536 rate 50Mbit ceil 50Mbit burst 12Kb",
                                 "1:10 parent 1:1 rate 50Mbit ceil 50Mbit burst 12Kb",
                                 "1:27 parent 1:10 prio 2 quantum 1536 rate 512Kbit ceil 1Mbit burst 12Kb"}))
      << "the second device's entries come from its own dump";
  EXPECT_EQ(u32_filters("sh1", "1:10"), Multi{});
  EXPECT_EQ(log(),
            "deleting 1 on router with id: 1\n"
            "Found device: sh0\nMETRO 1 EXTERN 1\n"
            "Found device: sh1\nMETRO 1 EXTERN 0\n"
            "Found device: sh3\nMETRO 0 EXTERN 0\n"
            "All seems to be done?\n");

  clear_log();
  EXPECT_EQ(restrict_user_remove("99", 1), 0);
  EXPECT_EQ(log(), "Cannot find client with id: 99\n");
}

TEST_F(RouterTest, RemovingAClientWithTwoAddressesRemovesEveryFilterAndItsClass) {
  EXPECT_EQ(restrict_load(1, 1), 1);
  reconnect();
  EXPECT_EQ(restrict_user_remove("1", 1), 0);
  // Both addresses' filters go, so the class deletion is not refused.
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});
  EXPECT_EQ(classes("sh0").count("1:25 parent 1:10 prio 2 quantum 1536 rate 4Mbit ceil 8Mbit burst 12Kb"), 0u);
  EXPECT_EQ(restrict_user_remove("1", 1), 0) << "a second call finds nothing more to delete";
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});

  // A bad device name in a row: skipped, nothing run, nothing asked of the kernel.
  db_.exec("UPDATE routers_devices SET device = 'sh1;reboot' WHERE device = 'sh1'");
  const Set sh1_before = classes("sh1");
  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::user_remove(batch, "2", 1), 0);
  EXPECT_EQ(batch.recorded(), (std::vector<std::string>{}))
      << "client 2 has no filters on sh0, so nothing is deleted there";
  EXPECT_NE(log().find("Bandwidth: row skipped, bad device: sh1;reboot\n"), std::string::npos) << log();
  EXPECT_EQ(classes("sh1"), sh1_before);
}

TEST_F(ShaperTest, KindClassesOnAFreshTreeKeepTheirPfifo) {
  add_veth("sh0");
  tc({"qdisc", "add", "dev", "sh0", "root", "handle", "1:", "htb", "default", "15"});
  tc({"class", "add", "dev", "sh0", "parent", "1:", "classid", "1:1", "htb", "rate", "10Mbit"});
  add_class_metro("sh0", "10", "8Mbit");
  add_class_extern("sh0", "20", "2Mbit");
  add_class_extern("sh0;id", "20", "2Mbit");
  add_class_extern("sh0", "20;", "2Mbit");
  add_class_extern("sh0", "20", "2Mbit 3");
  EXPECT_EQ(qdiscs("sh0"),
            (Set{"htb 1: root default 0x15", "pfifo 10: parent 1:10 limit 5p", "pfifo 20: parent 1:20 limit 5p"}));
  EXPECT_EQ(log(),
            "Bandwidth: row skipped, bad device: sh0;id\n"
            "Bandwidth: row skipped, bad mark: 20;\n"
            "Bandwidth: row skipped, bad rate: 2Mbit 3\n");
  EXPECT_EQ(restrict_devdel(1), 0) << "no devices";
  EXPECT_EQ(restrict_devadd(1), 0);
}

TEST_F(ShaperTest, ModprobeAsTheMachineAllows) {
  // The real program on the real kernel: 1 exactly when all seven load.
  bool all = true;
  for (const char* m : {"sch_cbq", "sch_tbf", "sch_sfq", "sch_prio", "cls_fw", "cls_u32", "cls_route"})
    all = all && run({"/usr/sbin/modprobe", "-n", "-q", m}).exit_status == 0;
  EXPECT_EQ(restrict_modprobe(), all ? 1 : 0);
}

}  // namespace
