#include "modules/mod_access/set_dump.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/nfnetlink.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "modules/mod_access/rule_lookup.h"

namespace {

// What the dump looks for and what it found.
struct Search {
  std::string ip;
  std::vector<std::string> macs;
};

// The kernel fills dump messages up to the reader's buffer, at most this much.
constexpr size_t kDumpBufferSize = 32768;

// Owner of a netlink socket.
struct NetlinkSocket {
  mnl_socket* s = mnl_socket_open(NETLINK_NETFILTER);
  ~NetlinkSocket() {
    if (s) mnl_socket_close(s);
  }
};

// The attributes of one member that matter here.
struct Member {
  const nlattr* ip = nullptr;
  const nlattr* ether = nullptr;
};

int member_attribute(const nlattr* a, void* data) {
  auto* m = static_cast<Member*>(data);
  if (mnl_attr_get_type(a) == IPSET_ATTR_IP) m->ip = a;
  if (mnl_attr_get_type(a) == IPSET_ATTR_ETHER && mnl_attr_get_payload_len(a) >= 6) m->ether = a;
  return MNL_CB_OK;
}

// The dotted text of the IPv4 address in a nested address attribute.
int ipv4_attribute(const nlattr* a, void* data) {
  if (mnl_attr_get_type(a) != IPSET_ATTR_IPADDR_IPV4 || mnl_attr_get_payload_len(a) < 4) return MNL_CB_OK;
  in_addr address;
  std::memcpy(&address, mnl_attr_get_payload(a), sizeof address);
  char buf[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &address, buf, sizeof buf)) *static_cast<std::string*>(data) = buf;
  return MNL_CB_OK;
}

int member_data(const nlattr* data, void* search) {
  if (mnl_attr_get_type(data) != IPSET_ATTR_DATA) return MNL_CB_OK;
  Member m;
  mnl_attr_parse_nested(data, member_attribute, &m);
  if (!m.ip || !m.ether) return MNL_CB_OK;
  std::string ip;
  mnl_attr_parse_nested(m.ip, ipv4_attribute, &ip);
  auto* s = static_cast<Search*>(search);
  if (ip == s->ip) s->macs.push_back(ipset_get_mac(static_cast<const unsigned char*>(mnl_attr_get_payload(m.ether))));
  return MNL_CB_OK;
}

int list_attribute(const nlattr* a, void* data) {
  if (mnl_attr_get_type(a) == IPSET_ATTR_ADT) mnl_attr_parse_nested(a, member_data, data);
  return MNL_CB_OK;
}

int list_message(const nlmsghdr* nlh, void* data) {
  mnl_attr_parse(nlh, sizeof(nfgenmsg), list_attribute, data);
  return MNL_CB_OK;
}

}  // namespace

std::optional<std::vector<std::string>> set_macs_of(const std::string& set, const std::string& ip) {
  if (set.size() >= IPSET_MAXNAMELEN) return std::nullopt;
  NetlinkSocket socket;
  if (!socket.s || mnl_socket_bind(socket.s, 0, MNL_SOCKET_AUTOPID) < 0) return std::nullopt;

  char request[MNL_SOCKET_BUFFER_SIZE];
  nlmsghdr* nlh = mnl_nlmsg_put_header(request);
  nlh->nlmsg_type = (NFNL_SUBSYS_IPSET << 8) | IPSET_CMD_LIST;
  nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  nlh->nlmsg_seq = static_cast<uint32_t>(std::time(nullptr));
  auto* nfg = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
  nfg->nfgen_family = AF_INET;
  nfg->version = NFNETLINK_V0;
  nfg->res_id = 0;
  mnl_attr_put_u8(nlh, IPSET_ATTR_PROTOCOL, IPSET_PROTOCOL);
  mnl_attr_put_strz(nlh, IPSET_ATTR_SETNAME, set.c_str());
  if (mnl_socket_sendto(socket.s, nlh, nlh->nlmsg_len) < 0) return std::nullopt;

  const unsigned portid = mnl_socket_get_portid(socket.s);
  Search search{ip, {}};
  std::vector<char> answer(kDumpBufferSize);
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(socket.s, answer.data(), answer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    int r = mnl_cb_run(answer.data(), static_cast<size_t>(n), nlh->nlmsg_seq, portid, list_message, &search);
    if (r == MNL_CB_STOP) return search.macs;  // the end of the dump
    if (r < 0) return std::nullopt;            // the kernel's refusal (no such set) or a broken answer
  }
}
