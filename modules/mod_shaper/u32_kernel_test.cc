// The u32 list on the real kernel: dump and delete of u32 filters over rtnetlink.
#include <cstdlib>
#include <string>
#include <vector>

#include "modules/mod_shaper/shaper_test_rig.h"
#include "modules/mod_shaper/u32_list.h"

using namespace shaper_test;
using namespace zarn_test;
using Multi = std::multiset<std::string>;

namespace {

// A device with the classes 1:10 and 1:0x25 (client class number 5) and the
// filters of the client's addresses, written as the module writes them.
class U32Test : public ShaperTest {
 protected:
  void SetUp() override {
    ShaperTest::SetUp();
    u32_free();
  }
  void TearDown() override {
    u32_free();
    ShaperTest::TearDown();
  }
  static void tree(const std::string& device, const std::vector<std::string>& addresses) {
    tc({"qdisc", "add", "dev", device, "root", "handle", "1:", "htb", "default", "15"});
    tc({"class", "add", "dev", device, "parent", "1:", "classid", "1:1", "htb", "rate", "100Mbit"});
    tc({"class", "add", "dev", device, "parent", "1:1", "classid", "1:10", "htb", "rate", "100Mbit"});
    tc({"class", "add", "dev", device, "parent", "1:10", "classid", "1:0x25", "htb", "rate", "1Mbit"});
    for (const std::string& a : addresses)
      tc({"filter", "add", "dev", device, "protocol", "ip", "pref", "10", "parent", "1:10", "u32", "match", "ip", "dst",
          a, "classid", "1:0x25"});
  }
  static size_t entries() {
    size_t n = 0;
    for (const u32_filter_entry* e = st; e; e = e->next) ++n;
    return n;
  }
};

TEST_F(U32Test, AFilterWrittenWith0x25IsFoundAs125AndDeleted) {
  add_veth("sh0");
  tree("sh0", {"10.0.0.5"});
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), -5) << "empty list";

  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  ASSERT_EQ(entries(), 1u) << "the u32 head and its hash table carry no class";
  EXPECT_STREQ(st->parent, "1:10");
  EXPECT_EQ(st->prio, 10u);
  EXPECT_STREQ(st->kind, "u32");
  EXPECT_STREQ(st->flowid, "1:25");
  EXPECT_EQ(st->handle, 0x80000800u);
  EXPECT_STREQ(st->device, "sh0");
  char* handle = get_u32_info(st, "handle", "1:25");
  ASSERT_NE(handle, nullptr);
  EXPECT_STREQ(handle, "800::800");
  std::free(handle);

  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:26"), -6);
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), 1);
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});
  EXPECT_EQ(tc({"class", "del", "dev", "sh0", "parent", "1:10", "classid", "1:0x25"}), "")
      << "the class is free once its filter is gone";
}

TEST_F(U32Test, TwoAddressesOfOneClient) {
  add_veth("sh0");
  tree("sh0", {"10.0.0.5", "10.0.0.6"});
  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  EXPECT_EQ(entries(), 2u);
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), 1);
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{"pref 10 flowid 1:25 match 0a000006/ffffffff at 16"})
      << "the first one found goes";
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), -4)
      << "without a fresh dump the deleted entry is found again, and the kernel refuses it";
  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  EXPECT_EQ(entries(), 1u) << "a fresh dump replaces the entries of its device and parent";
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), 1);
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{});
}

TEST_F(U32Test, EachDeviceAnswersFromItsOwnEntries) {
  add_veth("sh0");
  add_veth("sh1");
  tree("sh0", {"10.0.0.5"});
  // On sh1 the client's filter is the second of the hash table: another handle.
  tree("sh1", {"10.9.9.9", "10.0.0.5"});
  tc({"filter", "del", "dev", "sh1", "parent", "1:10", "pref", "10", "handle", "800::800", "u32"});
  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  EXPECT_EQ(rntl_comm("sh1", "1:10", filter_u32_list), 0);
  EXPECT_EQ(rntl_comm("sh1", "1:20", filter_u32_list), 0);
  EXPECT_EQ(entries(), 2u) << "other devices' and parents' entries stay";
  EXPECT_EQ(nxt->handle, 0x80000801u);
  EXPECT_EQ(filter_u32_delete("sh1", "1:10", "1:25"), 1);
  EXPECT_EQ(u32_filters("sh1", "1:10"), Multi{});
  EXPECT_EQ(u32_filters("sh0", "1:10"), Multi{"pref 10 flowid 1:25 match 0a000005/ffffffff at 16"});
}

TEST_F(U32Test, DumpFailuresAndEmptyParents) {
  add_veth("sh0");
  tree("sh0", {});
  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  EXPECT_EQ(st, nullptr) << "no u32 filters: the list is unchanged";
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), -5) << "an empty list, answered without a socket";

  EXPECT_EQ(rntl_comm("nosuch0", "1:10", filter_u32_list), -2);
  EXPECT_EQ(log(), "Device not found\n");
  clear_log();
  EXPECT_EQ(rntl_comm("sh0", "1:77", filter_u32_list), 0) << "the kernel answers for a missing class with nothing";
  EXPECT_EQ(rntl_comm("sh0", "1:x", filter_u32_list), -3);
  EXPECT_EQ(log(), "dump init request denied\n");
  EXPECT_EQ(st, nullptr);
}

TEST_F(U32Test, DeleteOnAVanishedDevice) {
  add_veth("sh0");
  tree("sh0", {"10.0.0.5"});
  EXPECT_EQ(rntl_comm("sh0", "1:10", filter_u32_list), 0);
  run({"/usr/sbin/ip", "link", "del", "sh0"});
  EXPECT_EQ(filter_u32_delete("sh0", "1:10", "1:25"), -3);
}

}  // namespace
