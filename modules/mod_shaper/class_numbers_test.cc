// Class numbers of internet_restrictions that would aim a client's class or
// filters at a class that is not its own: outside 1..9979, or already held on
// the device by another client (metro and extern share a device's minors).
#include "modules/mod_shaper/class_numbers.h"

#include "libzarn/globals.h"
#include "libzarn/sql.h"
#include "modules/mod_shaper/shaper.h"
#include "modules/mod_shaper/shaper_test_rig.h"

using namespace shaper_test;
using namespace zarn_test;
using Lines = std::vector<std::string>;

namespace {

TEST(ClassNumbers, OnlyOneToNineThousandNineHundredSeventyNine) {
  for (const char* good : {"1", "5", "9979", "0009"}) EXPECT_TRUE(shaper::is_class_number(good)) << good;
  for (const char* bad : {"0", "9980", "65535", "4294967295", "", "-1", "5 ", "1e3", "00000001"})
    EXPECT_FALSE(shaper::is_class_number(bad)) << bad;
  EXPECT_FALSE(shaper::is_class_number(nullptr));
}

// Router 1: cn0 both marks (towards the clients), cn1 metro only (from them).
class ClassNumberTest : public ShaperTest {
 protected:
  void SetUp() override {
    ShaperTest::SetUp();
    for (const char* d : {"cn0", "cn1"}) add_veth(d);
    db_.exec(
        "INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`,"
        " active) VALUES (1, 1, 'cn0', 10, 20, '100Mbit', '20Mbit', 1, 1), (2, 1, 'cn1', 11, 0, '50Mbit', '0', 0, 1)");
    db_.exec(
        "INSERT INTO internet_clients (id, remote) VALUES (1, 1), (2, 1), (3, 1), (4, 1), (5, 1), (6, 1), (7, 1),"
        " (8, 1)");
    db_.exec(
        "INSERT INTO internet_settings (cid, rid, ip) VALUES (1, 1, '10.0.0.1'), (2, 1, '10.0.0.2'),"
        " (3, 1, '10.0.0.3'), (4, 1, '10.0.0.4'), (5, 1, '10.0.0.5'), (6, 1, '10.0.0.6'), (7, 1, '10.0.0.7'),"
        " (8, 1, '10.0.0.8')");
  }
  void restrictions(const std::string& values) {
    db_.exec(
        "INSERT INTO internet_restrictions (cid, in_metro_rate, in_metro_ceil, in_extern_rate, in_extern_ceil,"
        " out_metro_rate, out_metro_ceil, out_extern_rate, out_extern_ceil, metro_class, extern_class) VALUES " +
        values);
  }
  // The lines of the client classes (those under 1:10 and 1:20) and of the client filters.
  static Lines client_lines(const Lines& all) {
    Lines out;
    for (const std::string& l : all)
      if (l.find("parent 1:10 ") != std::string::npos || l.find("parent 1:20 ") != std::string::npos) out.push_back(l);
    return out;
  }
  void connect() {
    if (!mysql_r) mysql_r = sql_connect();
    ASSERT_NE(mysql_r, nullptr);
  }
};

std::string class_line(const char* dev, const char* parent, const char* minor, const char* rate) {
  return std::string("class add dev ") + dev + " parent " + parent + " classid 1:0x" + minor + " htb rate " + rate +
         " ceil " + rate + " burst 12k prio 2 quantum 1536";
}
std::string filter_line(const char* dev, const char* parent, const char* dir, const char* ip, const char* minor) {
  return std::string("filter add dev ") + dev + " protocol ip pref 10 parent " + parent + " u32 match ip " + dir + " " +
         ip + " classid 1:0x" + minor;
}

TEST_F(ClassNumberTest, RebuildRefusesRowsWhoseNumbersAreOutOfRangeOrTaken) {
  // Rates: 1024 kbit/s everywhere (1Mbit). Client 1 holds 5 and 6; 2: metro 0 (the extern class); 3:
  // extern 9980 (beyond 16 bits); 4: metro 5 (client 1's); 5: extern 6
  // (client 1's); 6: metro = extern; 7: extern 5 (client 1's metro); 8: the
  // highest number.
  restrictions(
      "(1,1024,1024,1024,1024,1024,1024,1024,1024,5,6), (2,1024,1024,1024,1024,1024,1024,1024,1024,0,7),"
      " (3,1024,1024,1024,1024,1024,1024,1024,1024,8,9980), (4,1024,1024,1024,1024,1024,1024,1024,1024,5,10),"
      " (5,1024,1024,1024,1024,1024,1024,1024,1024,11,6), (6,1024,1024,1024,1024,1024,1024,1024,1024,12,12),"
      " (7,1024,1024,1024,1024,1024,1024,1024,1024,13,5), (8,1024,1024,1024,1024,1024,1024,1024,1024,9979,14)");
  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::load(batch, 1, 1), 1);
  const Lines expected{
      // cn0: only clients 1 and 8.
      class_line("cn0", "1:10", "25", "1Mbit"),
      class_line("cn0", "1:20", "26", "1Mbit"),
      filter_line("cn0", "1:10", "dst", "10.0.0.1", "25"),
      filter_line("cn0", "1:20", "dst", "10.0.0.1", "26"),
      class_line("cn0", "1:10", "9999", "1Mbit"),
      class_line("cn0", "1:20", "34", "1Mbit"),
      filter_line("cn0", "1:10", "dst", "10.0.0.8", "9999"),
      filter_line("cn0", "1:20", "dst", "10.0.0.8", "34"),
      // cn1 shapes metro only: the extern numbers do not matter there.
      class_line("cn1", "1:10", "25", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.1", "25"),
      class_line("cn1", "1:10", "28", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.3", "28"),
      class_line("cn1", "1:10", "31", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.5", "31"),
      class_line("cn1", "1:10", "32", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.6", "32"),
      class_line("cn1", "1:10", "33", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.7", "33"),
      class_line("cn1", "1:10", "9999", "1Mbit"),
      filter_line("cn1", "1:10", "src", "10.0.0.8", "9999"),
  };
  EXPECT_EQ(client_lines(batch.recorded()), expected);
  EXPECT_EQ(log(),
            "Bandwidth: row skipped, client 2: metro class 0 outside 1..9979\n"
            "Bandwidth: row skipped, client 3: extern class 9980 outside 1..9979\n"
            "Bandwidth: row skipped, client 4: metro class 5 is already the metro class of client 1\n"
            "Bandwidth: row skipped, client 5: extern class 6 is already the extern class of client 1\n"
            "Bandwidth: row skipped, client 6: extern class 12 is already the metro class of client 6\n"
            "Bandwidth: row skipped, client 7: extern class 5 is already the metro class of client 1\n"
            "Bandwidth: row skipped, client 2: metro class 0 outside 1..9979\n"
            "Bandwidth: row skipped, client 4: metro class 5 is already the metro class of client 1\n");
}

TEST_F(ClassNumberTest, OneClientEntryPointsLeaveTheSharedClassesAlone) {
  restrictions("(1,1024,1024,1024,1024,1024,1024,1024,1024,5,6), (2,2048,2048,2048,2048,2048,2048,2048,2048,7,8)");
  EXPECT_EQ(restrict_load(1, 1), 1);
  connect();
  const std::set<std::string> before = classes("cn0");
  ASSERT_EQ(before.count("1:20 parent 1:1 rate 20Mbit ceil 20Mbit burst 12Kb"), 1u);

  // Client 2's metro number becomes 0: its minor 0x20 is the extern class.
  db_.exec("UPDATE internet_restrictions SET metro_class = 0, in_metro_rate = 64, in_metro_ceil = 64 WHERE cid = 2");
  clear_log();
  EXPECT_EQ(restrict_user_update("2", 1), 1);
  EXPECT_EQ(classes("cn0"), before) << "the extern class keeps its rates, client 2's classes are untouched";
  EXPECT_EQ(log(),
            "Bandwidth: row skipped, client 2: metro class 0 outside 1..9979\n"
            "Bandwidth: row skipped, client 2: metro class 0 outside 1..9979\n");

  TcBatch batch(TcBatch::Mode::kRecord);
  EXPECT_EQ(shaper::user_add(batch, "2", 1), 1);
  EXPECT_EQ(client_lines(batch.recorded()), Lines{}) << "the refused row adds no class and no filter";

  EXPECT_EQ(restrict_user_remove("2", 1), 0);
  EXPECT_EQ(classes("cn0"), before) << "nothing of the extern class is deleted";
}

}  // namespace
