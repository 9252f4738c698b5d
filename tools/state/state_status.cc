#include "tools/state/state_status.h"

#include <algorithm>
#include <map>

#include "tools/state/state_compare.h"
#include "tools/state/state_report.h"
#include "tools/state/state_shaping.h"

namespace zarn_state {

namespace {

// What the kernel holds for one setting.
struct KernelView {
  std::vector<std::string> macs;  // its set entries
  size_t marks = 0;
};

KernelView kernel_view(const Held& held, const std::string& ip) {
  KernelView v;
  if (auto f = held.forwards.find(ip); f != held.forwards.end()) v.macs = f->second;
  if (auto m = held.marks.find(ip); m != held.marks.end()) v.marks = m->second.size();
  return v;
}

// Totals of one internal network.
struct NetworkTotals {
  size_t settings = 0, forwarded = 0, marks = 0;
};

// Totals per network, counting the kernel's entries and rules of each network.
std::map<std::string, NetworkTotals> totals(const Desired& desired, const Held& held) {
  std::map<std::string, NetworkTotals> out;
  for (const Network& n : desired.networks) out[n.net];
  for (const SettingRow& s : desired.settings)
    if (const Network* n = network_of(desired.networks, s.ip)) ++out[n->net].settings;
  for (const auto& [ip, macs] : held.forwards)
    if (const Network* n = network_of(desired.networks, ip)) out[n->net].forwarded += macs.empty() ? 0 : 1;
  for (const auto& [ip, rules] : held.marks)
    if (const Network* n = network_of(desired.networks, ip)) out[n->net].marks += rules.size();
  return out;
}

// A class the kernel sends an address to, on one device.
struct ShapedClass {
  std::string device;
  TcClass cls;  // rate and ceil 0 when the class itself is missing
};

std::vector<ShapedClass> shaping_of(const Shaping& shaping, const std::string& ip) {
  std::vector<ShapedClass> out;
  for (const auto& [device, f] : shaping.held_filters) {
    if (f.ip != ip) continue;
    ShapedClass c{device, {f.classid, 0, 0, 0}};
    for (const auto& [held_device, held] : shaping.held_classes)
      if (held_device == device && held.classid == f.classid) c.cls = held;
    out.push_back(c);
  }
  std::sort(out.begin(), out.end(), [](const ShapedClass& a, const ShapedClass& b) {
    return a.device != b.device ? a.device < b.device : a.cls.classid < b.cls.classid;
  });
  return out;
}

std::string joined(const std::vector<std::string>& words, const char* separator) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

}  // namespace

std::string status_text(const Desired& desired, const Held& held, const Shaping& shaping) {
  std::string out;
  for (const SettingRow& s : desired.settings) {
    KernelView k = kernel_view(held, s.ip);
    std::vector<std::string> classes;
    for (const ShapedClass& c : shaping_of(shaping, s.ip))
      classes.push_back(c.device + "/" + classid_text(c.cls.classid));
    out += "setting " + std::to_string(s.id) + " client " + std::to_string(s.cid) + " " + s.ip + " " + s.mac +
           " active " + std::to_string(s.active) + " gate " + s.gate + " login " + s.login + " forwarded " +
           (k.macs.empty() ? "no" : joined(k.macs, ",")) + " marks " + std::to_string(k.marks) + " hostup " +
           std::to_string(s.hostup) + " shaping " + (classes.empty() ? "none" : joined(classes, ",")) + "\n";
  }
  for (const auto& [net, t] : totals(desired, held))
    out += "network " + net + " settings " + std::to_string(t.settings) + " forwarded " + std::to_string(t.forwarded) +
           " marks " + std::to_string(t.marks) + "\n";
  return out;
}

std::string status_json(int rid, const Desired& desired, const Held& held, const Shaping& shaping) {
  std::string out = "{\"router\":" + std::to_string(rid) + ",\"settings\":[";
  bool first = true;
  for (const SettingRow& s : desired.settings) {
    KernelView k = kernel_view(held, s.ip);
    std::vector<std::string> quoted;
    for (const std::string& m : k.macs) quoted.push_back(json_string(m));
    out += first ? "" : ",";
    first = false;
    out += "{\"setting\":" + std::to_string(s.id) + ",\"client\":" + std::to_string(s.cid) +
           ",\"address\":" + json_string(s.ip) + ",\"mac\":" + json_string(s.mac) +
           ",\"active\":" + std::to_string(s.active) + ",\"gate\":" + json_string(s.gate) +
           ",\"login\":" + json_string(s.login) + ",\"forwarded\":" + (k.macs.empty() ? "false" : "true") +
           ",\"kernel_macs\":[" + joined(quoted, ",") + "],\"marks\":" + std::to_string(k.marks) +
           ",\"hostup\":" + std::to_string(s.hostup) + ",\"shaping\":[";
    bool first_class = true;
    for (const ShapedClass& c : shaping_of(shaping, s.ip)) {
      out += first_class ? "" : ",";
      first_class = false;
      out += "{\"device\":" + json_string(c.device) + ",\"class\":" + json_string(classid_text(c.cls.classid)) +
             ",\"parent\":" + json_string(c.cls.parent ? classid_text(c.cls.parent) : "") +
             ",\"rate\":" + std::to_string(c.cls.rate) + ",\"ceil\":" + std::to_string(c.cls.ceil) + "}";
    }
    out += "]}";
  }
  out += "],\"networks\":[";
  first = true;
  for (const auto& [net, t] : totals(desired, held)) {
    out += first ? "" : ",";
    first = false;
    out += "{\"net\":" + json_string(net) + ",\"settings\":" + std::to_string(t.settings) +
           ",\"forwarded\":" + std::to_string(t.forwarded) + ",\"marks\":" + std::to_string(t.marks) + "}";
  }
  return out + "]}\n";
}

std::string metrics_text(int rid, const Desired& desired, const Held& held,
                         const std::vector<Difference>& differences) {
  const std::string router = "router=\"" + std::to_string(rid) + "\"";
  std::string out;
  auto family = [&](const char* name, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
  };
  std::map<std::string, NetworkTotals> t = totals(desired, held);
  family("zarn_state_settings", "Address settings of the router per internal network.");
  for (const auto& [net, n] : t)
    out += "zarn_state_settings{" + router + ",network=\"" + net + "\"} " + std::to_string(n.settings) + "\n";
  family("zarn_state_forwarded_clients", "Addresses the kernel forwards per internal network.");
  for (const auto& [net, n] : t)
    out += "zarn_state_forwarded_clients{" + router + ",network=\"" + net + "\"} " + std::to_string(n.forwarded) + "\n";
  family("zarn_state_marks", "Redirect mark rules in the kernel per internal network.");
  for (const auto& [net, n] : t)
    out += "zarn_state_marks{" + router + ",network=\"" + net + "\"} " + std::to_string(n.marks) + "\n";
  family("zarn_state_shaping_classes", "Per-client shaping classes on the router's devices.");
  out += "zarn_state_shaping_classes{" + router + "} " + std::to_string(held.client_classes) + "\n";
  family("zarn_state_shaping_filters", "Per-address u32 filters on the router's devices.");
  out += "zarn_state_shaping_filters{" + router + "} " + std::to_string(held.client_filters) + "\n";
  size_t gates = 0, logins = 0;
  for (const SettingRow& s : desired.settings) {
    gates += s.gate == "open" ? 1 : 0;
    logins += s.login == "open" ? 1 : 0;
  }
  family("zarn_state_open_sessions", "Settings of the router with an open login, by kind.");
  out += "zarn_state_open_sessions{" + router + ",kind=\"gate\"} " + std::to_string(gates) + "\n";
  out += "zarn_state_open_sessions{" + router + ",kind=\"login\"} " + std::to_string(logins) + "\n";
  family("zarn_state_differences", "Differences between the kernel and the database, by reason.");
  for (const char* reason : {kForwardingMissing, kWrongMac, kStaleNotPaid, kStaleGateNotLoggedIn, kStaleClientGone,
                             kMarkMissing, kMarkStale, kMarkDuplicated, kSetMissing, kChainMissing, kClassMissing,
                             kClassStale, kClassWrongRate, kFilterMissing, kFilterStale}) {
    size_t n = 0;
    for (const Difference& d : differences) n += d.reason == reason ? 1 : 0;
    out += "zarn_state_differences{" + router + ",reason=\"" + reason + "\"} " + std::to_string(n) + "\n";
  }
  return out;
}

}  // namespace zarn_state
