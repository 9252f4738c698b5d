// The text parsers of the shaping module: class ids and u32 handles (each
// read back from the text it prints as the same value), the handle of a
// filter request, and the checks and forms of the values placed in tc lines.
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <libmnl/libmnl.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz_text.h"
#include "modules/mod_shaper/u32_list.h"
#include "modules/mod_shaper/values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(as_text(data, size));
  if (text.find('\0') != std::string::npos) return -1;  // the parsers take C strings
  const char* c = text.c_str();

  if (std::optional<uint32_t> id = get_tc_classid(c)) {
    std::optional<uint32_t> again = get_tc_classid(print_classid(*id).c_str());
    FUZZ_CHECK(again && *again == *id);
  }
  uint32_t handle = 0;
  // A handle without a hash table number prints in a form that does not read
  // back ("25" for ":25", "none" for 0), as tc prints it; the kernel gives
  // every u32 filter a table, so the handles the module deletes read back.
  if (get_u32_handle(&handle, c) == 0 && (handle >> 20) != 0) {
    char printed[64];
    sprint_u32_handle(handle, printed);
    uint32_t again = 0;
    FUZZ_CHECK(get_u32_handle(&again, printed) == 0 && again == handle);
    FUZZ_CHECK(u32_handle_text(handle) == printed);
  }
  alignas(nlmsghdr) char buffer[256] = {};  // a header and a tcmsg
  nlmsghdr* request = mnl_nlmsg_put_header(buffer);
  mnl_nlmsg_put_extra_header(request, sizeof(tcmsg));
  if (parse_fopt(c, request) == 0) {
    uint32_t direct = 0;
    FUZZ_CHECK(get_u32_handle(&direct, c) == 0);
    FUZZ_CHECK(static_cast<tcmsg*>(mnl_nlmsg_get_payload(request))->tcm_handle == direct);
  }

  if (is_device_name(text)) FUZZ_CHECK(!text.empty() && text.size() <= 15);
  if (is_mark(text)) FUZZ_CHECK(text.find_first_not_of("0123456789") == std::string::npos);
  is_rate(text);
  is_address(text);
  std::string rate = rate_text(c);
  FUZZ_CHECK(is_rate(rate));
  class_minor(c);
  std::string logged = loggable(text);
  FUZZ_CHECK(logged.size() <= 64);
  for (char ch : logged) FUZZ_CHECK(ch >= 0x20 && ch < 0x7f);
  return 0;
}
