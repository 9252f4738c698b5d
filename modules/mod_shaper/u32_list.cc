#include "modules/mod_shaper/u32_list.h"

#include <libmnl/libmnl.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>

#include "libzarn/format.h"
#include "libzarn/log.h"

extern "C" {
u32_filter_entry* st = nullptr;
u32_filter_entry* nxt = nullptr;
int debug_u32 = 0;
int show_row = 0;
}

namespace {

// The list's storage: every entry stays where it is while others come and go;
// st, nxt and the next links are kept in step with it (relink).
std::list<u32_filter_entry> entries;

void relink() {
  st = nxt = nullptr;
  for (u32_filter_entry& e : entries) {
    e.next = nullptr;
    if (nxt) nxt->next = &e;
    if (!st) st = &e;
    nxt = &e;
  }
}

// A fresh dump of a device's parent replaces what earlier dumps of the same
// device and parent left: those entries may name filters that are gone.
void forget_dump(const char* device, const std::string& parent) {
  entries.remove_if([&](const u32_filter_entry& e) {
    return std::strncmp(e.device, device, sizeof e.device - 1) == 0 && parent == e.parent;
  });
  relink();
}

constexpr size_t kReceiveBuffer = 32768;  // a dump part of the kernel's usual size

// Closes an rtnetlink socket of libmnl.
struct MnlSocketClose {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};
// An open, bound rtnetlink socket.
using MnlSocket = std::unique_ptr<mnl_socket, MnlSocketClose>;

MnlSocket open_rtnetlink() {
  MnlSocket socket(mnl_socket_open(NETLINK_ROUTE));
  if (socket && mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) socket.reset();
  return socket;
}

// Copies at most size - 1 bytes of `text` and ends the copy.
template <size_t N>
void copy_text(char (&to)[N], const char* text) {
  std::snprintf(to, N, "%s", text ? text : "");
}

// Keeps the attributes of one nesting level by type.
template <int Max>
struct Attributes {
  const nlattr* by_type[Max + 1] = {};
  static int keep(const nlattr* attr, void* data) {
    auto* self = static_cast<Attributes*>(data);
    int type = mnl_attr_get_type(attr);
    if (type >= 0 && type <= Max) self->by_type[type] = attr;
    return MNL_CB_OK;
  }
};

// A text attribute as text, ended at its first zero byte or its end.
std::string attribute_text(const nlattr* attr) {
  const char* text = static_cast<const char*>(mnl_attr_get_payload(attr));
  size_t length = mnl_attr_get_payload_len(attr);
  return std::string(text, strnlen(text, length));
}

// A 32-bit attribute, or nothing when it is too short.
std::optional<uint32_t> attribute_u32(const nlattr* attr) {
  if (!attr || mnl_attr_get_payload_len(attr) < sizeof(uint32_t)) return std::nullopt;
  return mnl_attr_get_u32(attr);
}

// What rntl_comm hands through libmnl to the caller's callback.
struct DumpContext {
  u32_dump_callback callback;
  const char* device;
};

int dump_message(const nlmsghdr* message, void* data) {
  auto* context = static_cast<DumpContext*>(data);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int result = context->callback(&kernel, const_cast<nlmsghdr*>(message), const_cast<char*>(context->device));
  return result < 0 ? MNL_CB_ERROR : MNL_CB_OK;
}

// The first entry from `first` on that sends to `flowid`, limited to a
// device and a parent class when they are given.
const u32_filter_entry* find_entry(const u32_filter_entry* first, const char* device, const char* parent,
                                   const char* flowid) {
  for (const u32_filter_entry* e = first; e; e = e->next) {
    if (debug_u32 == 1)
      std::printf("GET_U32_INFO:Handle-->%x Prio-->%lu flowid-->%s filter-->%s\n", e->handle,
                  static_cast<unsigned long>(e->prio), e->flowid, e->kind);
    if (std::strcmp(e->flowid, flowid) != 0) continue;
    if (device && std::strncmp(e->device, device, sizeof e->device - 1) != 0) continue;
    if (parent && std::strcmp(e->parent, parent) != 0) continue;
    return e;
  }
  return nullptr;
}

}  // namespace

std::string print_classid(uint32_t id) {
  if (id == TC_H_ROOT) return "root";
  if (id == TC_H_UNSPEC) return "none";
  if (TC_H_MAJ(id) == 0) return format(":%x", TC_H_MIN(id));
  if (TC_H_MIN(id) == 0) return format("%x:", TC_H_MAJ(id) >> 16);
  return format("%x:%x", TC_H_MAJ(id) >> 16, TC_H_MIN(id));
}

std::optional<uint32_t> get_tc_classid(const char* text) {
  if (!text) return std::nullopt;
  if (std::strcmp(text, "root") == 0) return TC_H_ROOT;
  if (std::strcmp(text, "none") == 0) return TC_H_UNSPEC;
  char* end = nullptr;
  uint32_t id = static_cast<uint32_t>(std::strtoul(text, &end, 16));
  if (end == text) {
    id = 0;
    if (*end != ':') return std::nullopt;
  }
  if (*end == ':') {
    const char* minor_text = end + 1;
    uint32_t minor = static_cast<uint32_t>(std::strtoul(minor_text, &end, 16));
    if (*end != '\0') return std::nullopt;
    id = (id << 16) | minor;
  } else if (*end != '\0') {
    return std::nullopt;
  }
  return id;
}

std::string u32_handle_text(uint32_t handle) {
  char buffer[64];
  return sprint_u32_handle(handle, buffer);
}

extern "C" char* sprint_u32_handle(uint32_t handle, char* buffer) {
  constexpr size_t kSize = 64;
  uint32_t table = handle >> 20, bucket = (handle >> 12) & 0xff, node = handle & 0xfff;
  if (handle == 0) {
    std::snprintf(buffer, kSize, "none");
    return buffer;
  }
  std::string text;
  if (table) text += format("%x:", table);
  if (bucket || node) {
    if (bucket) text += format("%x", bucket);
    if (node) text += format(":%x", node);
  }
  if (show_row) text += format("[%08x] ", handle);
  std::snprintf(buffer, kSize, "%s", text.c_str());
  return buffer;
}

extern "C" int get_u32_handle(uint32_t* handle, const char* text) {
  if (!text) return -1;
  const char* colon = std::strchr(text, ':');
  char* end = nullptr;
  if (!colon) {
    if (std::strncmp(text, "0x", 2) != 0) return -1;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || *end != '\0' || errno == ERANGE || value > 0xffffffffUL) return -1;
    *handle = static_cast<uint32_t>(value);
    return 0;
  }
  // Table, bucket and node in hexadecimal; an empty part counts as 0.
  unsigned long table = std::strtoul(text, &end, 16);
  if (end == text && *text != ':' && *text != '\0') return -1;
  if (table >= 0x1000) return -1;
  unsigned long bucket = 0, node = 0;
  if (*end) {
    const char* part = end + 1;
    bucket = std::strtoul(part, &end, 16);
    if (end == part && *part != ':' && *part != '\0') return -1;
    if (bucket >= 0x100) return -1;
    if (*end) {
      part = end + 1;
      node = std::strtoul(part, &end, 16);
      if (end == part && *part != '\0') return -1;
      if (node >= 0x1000) return -1;
    }
  }
  *handle = static_cast<uint32_t>((table << 20) | (bucket << 12) | node);
  return 0;
}

extern "C" int parse_fopt(const char* handle, struct nlmsghdr* request) {
  if (!handle) return 0;
  uint32_t value = 0;
  if (get_u32_handle(&value, handle) != 0) return -1;
  static_cast<tcmsg*>(mnl_nlmsg_get_payload(request))->tcm_handle = value;
  return 0;
}

extern "C" void array_u32_push(const u32_filter_entry* entry) {
  if (debug_u32 == 1) std::printf("array_u32_push('%x')\n", entry->handle);
  u32_filter_entry& added = entries.emplace_back(*entry);
  added.next = nullptr;
  if (nxt) nxt->next = &added;
  if (!st) st = &added;
  nxt = &added;
}

extern "C" void u32_free(void) {
  entries.clear();
  st = nullptr;
  nxt = nullptr;
}

extern "C" int filter_u32_list(const struct sockaddr_nl*, struct nlmsghdr* message, void* arg) {
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(tcmsg))) return 0;
  const auto* t = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(message));
  uint32_t prio = t->tcm_info >> 16;
  std::string parent = print_classid(t->tcm_parent);

  Attributes<TCA_MAX> top;
  mnl_attr_parse(message, sizeof(tcmsg), Attributes<TCA_MAX>::keep, &top);
  if (!top.by_type[TCA_KIND] || t->tcm_handle == 0) return 0;
  std::string kind = attribute_text(top.by_type[TCA_KIND]);
  if (kind != "u32") return 0;
  std::string handle = u32_handle_text(t->tcm_handle);
  if (!top.by_type[TCA_OPTIONS]) return 0;
  Attributes<TCA_U32_MAX> options;
  mnl_attr_parse_nested(top.by_type[TCA_OPTIONS], Attributes<TCA_U32_MAX>::keep, &options);
  std::optional<uint32_t> classid = attribute_u32(options.by_type[TCA_U32_CLASSID]);
  std::string flowid = print_classid(classid.value_or(0));
  if (debug_u32 == 1) std::printf("%s %10s %s %x\n", kind.c_str(), handle.c_str(), flowid.c_str(), t->tcm_handle);
  // Hash tables and links send to no class.
  if (!classid || *classid == 0) return 0;

  u32_filter_entry entry{};
  copy_text(entry.parent, parent.c_str());
  entry.prio = prio;
  copy_text(entry.kind, kind.c_str());
  copy_text(entry.flowid, flowid.c_str());
  entry.handle = t->tcm_handle;
  copy_text(entry.device, static_cast<const char*>(arg));
  array_u32_push(&entry);
  if (debug_u32 == 1)
    std::printf("%6s %4u %6s %6s %10s\n", entry.parent, entry.prio, entry.kind, entry.flowid, handle.c_str());
  return 0;
}

extern "C" int rntl_comm(const char* device, const char* parent, u32_dump_callback callback) {
  MnlSocket socket = open_rtnetlink();
  if (!socket) {
    write_log("Cannot opren rnetlink\n");
    return -1;
  }
  unsigned index = device ? if_nametoindex(device) : 0;
  if (index == 0) {
    write_log("Device not found\n");
    return -2;
  }
  std::optional<uint32_t> parent_id = get_tc_classid(parent);
  std::unique_ptr<char[]> buffer(new char[kReceiveBuffer]);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.get());
  request->nlmsg_type = RTM_GETTFILTER;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  uint32_t seq = request->nlmsg_seq = static_cast<uint32_t>(std::time(nullptr));
  auto* t = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(tcmsg)));
  t->tcm_family = AF_UNSPEC;
  t->tcm_ifindex = static_cast<int>(index);
  t->tcm_handle = 0;
  t->tcm_parent = parent_id.value_or(0);
  t->tcm_info = 0;
  if (!parent_id || mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) {
    write_log("dump init request denied\n");
    return -3;
  }
  forget_dump(device, print_classid(*parent_id));
  DumpContext context{callback, device};
  uint32_t portid = mnl_socket_get_portid(socket.get());
  for (;;) {
    ssize_t got = mnl_socket_recvfrom(socket.get(), buffer.get(), kReceiveBuffer);
    int result = got < 0 ? MNL_CB_ERROR
                         : mnl_cb_run(buffer.get(), static_cast<size_t>(got), seq, portid, dump_message, &context);
    if (result == MNL_CB_STOP) break;
    if (result < 0) {
      write_log("dump filter request denied\n");
      return -4;
    }
  }
  return 0;
}

extern "C" char* get_u32_info(const u32_filter_entry* first, const char* item, const char* flowid) {
  if (debug_u32) std::printf("get_u32_info enter function:\n");
  if (!item || !flowid) return nullptr;
  const u32_filter_entry* e = find_entry(first, nullptr, nullptr, flowid);
  if (!e) return nullptr;
  std::string text;
  if (std::strcmp(item, "parent") == 0)
    text = e->parent;
  else if (std::strcmp(item, "prio") == 0)
    text = format("%lu", static_cast<unsigned long>(e->prio));
  else if (std::strcmp(item, "filter") == 0)
    text = e->kind;
  else if (std::strcmp(item, "flowid") == 0)
    text = e->flowid;
  else
    text = u32_handle_text(e->handle);
  return strdup(text.c_str());
}

extern "C" int filter_u32_delete(const char* device, const char* parent, const char* flowid) {
  if (!st) return -5;
  // The entry must come from the dump of this device and parent: the list
  // also holds the entries of earlier dumps.
  std::optional<uint32_t> parent_id = get_tc_classid(parent);
  if (!parent_id || !flowid) return -6;
  std::string parent_text = print_classid(*parent_id);
  char name[IFNAMSIZ] = {};
  copy_text(name, device);
  const u32_filter_entry* e = find_entry(st, name, parent_text.c_str(), flowid);
  if (!e) return -6;
  std::string handle_text = u32_handle_text(e->handle);
  uint32_t prio = e->prio;

  std::unique_ptr<char[]> buffer(new char[kReceiveBuffer]());
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.get());
  request->nlmsg_type = RTM_DELTFILTER;
  request->nlmsg_flags = NLM_F_REQUEST;
  auto* t = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(tcmsg)));
  t->tcm_family = AF_UNSPEC;
  t->tcm_info = TC_H_MAKE(prio << 16, 0);
  t->tcm_parent = *parent_id;
  mnl_attr_put_strz(request, TCA_KIND, "u32");
  if (parse_fopt(handle_text.c_str(), request) != 0) return -1;

  MnlSocket socket = open_rtnetlink();
  if (!socket) return -2;
  if (name[0] != '\0') {
    t->tcm_ifindex = static_cast<int>(if_nametoindex(name));
    if (t->tcm_ifindex == 0) return -3;
  }
  if (debug_u32)
    std::printf("Handle-->%x Prio-->%x Index-->%d filter-->%s\n", t->tcm_handle, prio, t->tcm_ifindex, "u32");
  request->nlmsg_flags |= NLM_F_ACK;
  uint32_t seq = request->nlmsg_seq = static_cast<uint32_t>(std::time(nullptr));
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) return -4;
  ssize_t got = mnl_socket_recvfrom(socket.get(), buffer.get(), kReceiveBuffer);
  if (got < 0) return -4;
  uint32_t portid = mnl_socket_get_portid(socket.get());
  if (mnl_cb_run(buffer.get(), static_cast<size_t>(got), seq, portid, nullptr, nullptr) < 0) return -4;
  return 1;
}
