#include "tools/state/state_tc.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>

#include "libzarn/format.h"

namespace zarn_state {

namespace {

// Owner of a netlink socket.
struct SocketClose {
  void operator()(mnl_socket* s) const { mnl_socket_close(s); }
};
using Socket = std::unique_ptr<mnl_socket, SocketClose>;

using Visit = std::function<void(const nlmsghdr*)>;

int on_message(const nlmsghdr* message, void* data) {
  (*static_cast<Visit*>(data))(message);
  return MNL_CB_OK;
}

// Sends one dump request for traffic-control objects and visits every answer.
bool dump(uint16_t type, int ifindex, uint32_t parent, const Visit& visit, std::string* error) {
  Socket socket(mnl_socket_open(NETLINK_ROUTE));
  if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
    *error = "cannot open a netlink socket";
    return false;
  }
  std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE * 4);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = type;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = static_cast<uint32_t>(time(nullptr));
  auto* t = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(tcmsg)));
  t->tcm_family = AF_UNSPEC;
  t->tcm_ifindex = ifindex;
  t->tcm_parent = parent;
  uint32_t seq = request->nlmsg_seq;
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) {
    *error = "the dump request was refused";
    return false;
  }
  uint32_t portid = mnl_socket_get_portid(socket.get());
  Visit v = visit;
  for (;;) {
    ssize_t got = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (got <= 0) {
      *error = "the dump failed";
      return false;
    }
    int r = mnl_cb_run(buffer.data(), static_cast<size_t>(got), seq, portid, on_message, &v);
    if (r == MNL_CB_STOP) return true;
    if (r < 0) {
      *error = format("the dump failed: %s", std::strerror(errno));
      return false;
    }
  }
}

// The attributes of a message or a nest, by type up to `max`.
struct Attributes {
  std::vector<const nlattr*> at;
  explicit Attributes(unsigned max) : at(max + 1, nullptr) {}
  const nlattr* operator[](unsigned type) const { return type < at.size() ? at[type] : nullptr; }
};

int keep_attribute(const nlattr* a, void* data) {
  auto* attrs = static_cast<Attributes*>(data);
  unsigned type = mnl_attr_get_type(a);
  if (type < attrs->at.size()) attrs->at[type] = a;
  return MNL_CB_OK;
}

Attributes message_attributes(const nlmsghdr* m) {
  Attributes a(TCA_MAX);
  mnl_attr_parse(m, sizeof(tcmsg), keep_attribute, &a);
  return a;
}

Attributes nested(const nlattr* nest, unsigned max) {
  Attributes a(max);
  if (nest) mnl_attr_parse_nested(nest, keep_attribute, &a);
  return a;
}

bool kind_is(const Attributes& a, const char* kind) {
  return a[TCA_KIND] && std::strcmp(mnl_attr_get_str(a[TCA_KIND]), kind) == 0;
}

}  // namespace

std::string classid_text(uint32_t id) { return format("%x:%x", id >> 16, id & 0xFFFFu); }

std::optional<std::vector<TcClass>> read_classes(const std::string& device, std::string* error) {
  std::vector<TcClass> out;
  unsigned index = if_nametoindex(device.c_str());
  if (index == 0) return out;
  bool ok = dump(
      RTM_GETTCLASS, static_cast<int>(index), 0,
      [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWTCLASS) return;
        auto* t = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(m));
        Attributes a = message_attributes(m);
        if (!kind_is(a, "htb")) return;
        Attributes o = nested(a[TCA_OPTIONS], TCA_HTB_MAX);
        TcClass c;
        c.classid = t->tcm_handle;
        c.parent = t->tcm_parent;
        if (o[TCA_HTB_PARMS] && mnl_attr_get_payload_len(o[TCA_HTB_PARMS]) >= sizeof(tc_htb_opt)) {
          auto* p = static_cast<const tc_htb_opt*>(mnl_attr_get_payload(o[TCA_HTB_PARMS]));
          c.rate = p->rate.rate;
          c.ceil = p->ceil.rate;
        }
        if (o[TCA_HTB_RATE64]) c.rate = mnl_attr_get_u64(o[TCA_HTB_RATE64]);
        if (o[TCA_HTB_CEIL64]) c.ceil = mnl_attr_get_u64(o[TCA_HTB_CEIL64]);
        out.push_back(c);
      },
      error);
  if (!ok) return std::nullopt;
  return out;
}

std::optional<std::vector<TcFilter>> read_filters(const std::string& device, uint32_t parent, std::string* error) {
  std::vector<TcFilter> out;
  unsigned index = if_nametoindex(device.c_str());
  if (index == 0) return out;
  bool ok = dump(
      RTM_GETTFILTER, static_cast<int>(index), parent,
      [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWTFILTER) return;
        Attributes a = message_attributes(m);
        if (!kind_is(a, "u32")) return;
        Attributes o = nested(a[TCA_OPTIONS], TCA_U32_MAX);
        if (!o[TCA_U32_CLASSID] || !o[TCA_U32_SEL]) return;
        auto* sel = static_cast<const tc_u32_sel*>(mnl_attr_get_payload(o[TCA_U32_SEL]));
        size_t room = mnl_attr_get_payload_len(o[TCA_U32_SEL]);
        if (room < sizeof(tc_u32_sel) || sel->nkeys != 1 || room < sizeof(tc_u32_sel) + sizeof(tc_u32_key)) return;
        const tc_u32_key& key = sel->keys[0];
        if (key.mask != 0xFFFFFFFFu || (key.off != 12 && key.off != 16)) return;
        in_addr address{key.val};
        char text[INET_ADDRSTRLEN];
        TcFilter f;
        f.parent = parent;
        f.handle = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(m))->tcm_handle;
        f.classid = mnl_attr_get_u32(o[TCA_U32_CLASSID]);
        f.direction = key.off == 16 ? "dst" : "src";
        f.ip = inet_ntop(AF_INET, &address, text, sizeof text) ? text : "";
        out.push_back(f);
      },
      error);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace zarn_state
