// The text forms of class ids and u32 handles, both ways, and the list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "modules/mod_shaper/u32_list.h"

namespace {

std::string info(const char* item, const char* flowid) {
  char* text = get_u32_info(st, item, flowid);
  std::string result = text ? text : "(null)";
  std::free(text);
  return result;
}

u32_filter_entry entry(const char* flowid, uint32_t handle, uint32_t prio) {
  u32_filter_entry e{};
  snprintf(e.parent, sizeof e.parent, "1:10");
  snprintf(e.kind, sizeof e.kind, "u32");
  snprintf(e.flowid, sizeof e.flowid, "%s", flowid);
  snprintf(e.device, sizeof e.device, "lan0");
  e.handle = handle;
  e.prio = prio;
  return e;
}

}  // namespace

TEST(ShaperU32Text, ClassIdsBothWays) {
  EXPECT_EQ(print_classid(0x00010010), "1:10");
  EXPECT_EQ(print_classid(0x00010000), "1:");
  EXPECT_EQ(print_classid(0xffffffff), "root");
  EXPECT_EQ(print_classid(0), "none");
  EXPECT_EQ(print_classid(0x00000025), ":25");
  EXPECT_EQ(print_classid(0x00019999), "1:9999");

  EXPECT_EQ(get_tc_classid("1:10"), 0x00010010u);
  EXPECT_EQ(get_tc_classid("1:"), 0x00010000u);
  EXPECT_EQ(get_tc_classid("root"), 0xffffffffu);
  EXPECT_EQ(get_tc_classid("none"), 0u);
  EXPECT_EQ(get_tc_classid(":25"), 0x25u);
  EXPECT_EQ(get_tc_classid("1:0x25"), 0x00010025u) << "the lines' form reads as the same class";
  EXPECT_EQ(get_tc_classid("10025"), 0x10025u) << "without a colon the number is the whole id";
  EXPECT_EQ(get_tc_classid(":"), 0u);
  EXPECT_FALSE(get_tc_classid("1:10x"));
  EXPECT_FALSE(get_tc_classid("x"));
  EXPECT_FALSE(get_tc_classid("1x"));
  EXPECT_FALSE(get_tc_classid(nullptr));
  for (uint32_t id : {0x00010010u, 0x00010000u, 0xffffffffu, 0u, 0x25u, 0x8001abcdu})
    EXPECT_EQ(get_tc_classid(print_classid(id).c_str()), id) << print_classid(id);
}

TEST(ShaperU32Text, HandlesBothWays) {
  char buffer[64];
  EXPECT_STREQ(sprint_u32_handle(0x80000800, buffer), "800::800");
  EXPECT_STREQ(sprint_u32_handle(0x80000000, buffer), "800:");
  EXPECT_STREQ(sprint_u32_handle(0, buffer), "none");
  EXPECT_STREQ(sprint_u32_handle(0x80001801, buffer), "800:1:801");
  EXPECT_STREQ(sprint_u32_handle(0x00000801, buffer), ":801");
  show_row = 1;
  EXPECT_STREQ(sprint_u32_handle(0x80000800, buffer), "800::800[80000800] ");
  show_row = 0;

  uint32_t handle = 0;
  EXPECT_EQ(get_u32_handle(&handle, "800::800"), 0);
  EXPECT_EQ(handle, 0x80000800u);
  EXPECT_EQ(get_u32_handle(&handle, "800:"), 0);
  EXPECT_EQ(handle, 0x80000000u);
  EXPECT_EQ(get_u32_handle(&handle, "800:1:801"), 0);
  EXPECT_EQ(handle, 0x80001801u);
  EXPECT_EQ(get_u32_handle(&handle, "0x80000801"), 0);
  EXPECT_EQ(handle, 0x80000801u);
  EXPECT_EQ(get_u32_handle(&handle, "::"), 0);
  EXPECT_EQ(handle, 0u);
  handle = 7;
  EXPECT_EQ(get_u32_handle(&handle, "1000:0:0"), -1) << "table id too large";
  EXPECT_EQ(get_u32_handle(&handle, "800:100:0"), -1) << "bucket too large";
  EXPECT_EQ(get_u32_handle(&handle, "800:0:1000"), -1) << "node too large";
  EXPECT_EQ(get_u32_handle(&handle, "800"), -1) << "without a colon only 0x... is read";
  EXPECT_EQ(get_u32_handle(&handle, "0x1g"), -1);
  EXPECT_EQ(get_u32_handle(&handle, "x:1"), -1);
  EXPECT_EQ(handle, 7u) << "a refused text leaves the handle alone";
  for (uint32_t h : {0x80000800u, 0x80000000u, 0x80001801u, 0xfff00001u})
    EXPECT_EQ(get_u32_handle(&handle, sprint_u32_handle(h, buffer)) == 0 ? handle : 0, h) << buffer;
}

TEST(ShaperU32Text, ListAppendsInOrderAndAnswersByFlowid) {
  u32_free();
  EXPECT_EQ(st, nullptr);
  EXPECT_EQ(info("handle", "1:25"), "(null)");
  u32_filter_entry a = entry("1:25", 0x80000800, 10), b = entry("1:26", 0x80000801, 11),
                   c = entry("1:25", 0x80000802, 10);
  array_u32_push(&a);
  array_u32_push(&b);
  array_u32_push(&c);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->handle, 0x80000800u);
  EXPECT_EQ(nxt->handle, 0x80000802u);
  EXPECT_EQ(st->next->next, nxt);
  EXPECT_EQ(nxt->next, nullptr);

  EXPECT_EQ(info("handle", "1:25"), "800::800") << "the first entry with that flowid answers";
  EXPECT_EQ(info("prio", "1:26"), "11");
  EXPECT_EQ(info("parent", "1:26"), "1:10");
  EXPECT_EQ(info("filter", "1:26"), "u32");
  EXPECT_EQ(info("flowid", "1:26"), "1:26");
  EXPECT_EQ(info("anything", "1:26"), "800::801");
  EXPECT_EQ(info("handle", "1:0x25"), "(null)") << "texts are compared exactly";
  EXPECT_EQ(info("handle", "1:27"), "(null)");

  EXPECT_EQ(filter_u32_delete("lan0", "1:10", "1:27"), -6);
  EXPECT_EQ(filter_u32_delete("lan1", "1:10", "1:25"), -6) << "entries of another device do not answer";
  EXPECT_EQ(filter_u32_delete("lan0", "1:20", "1:25"), -6) << "entries of another parent do not answer";
  u32_free();
  EXPECT_EQ(st, nullptr);
  EXPECT_EQ(nxt, nullptr);
  EXPECT_EQ(filter_u32_delete("lan0", "1:10", "1:25"), -5);
}
