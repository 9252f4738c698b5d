#include "tools/state/state_report.h"

#include <cstdio>

namespace zarn_state {

namespace {

std::string rule_numbers(const std::vector<MarkRule>& rules) {
  std::string out;
  for (const MarkRule& r : rules) out += (out.empty() ? "" : ",") + std::to_string(r.number);
  return out;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string verify_text(const std::vector<Difference>& differences, const Desired& desired) {
  std::string out;
  for (const Difference& d : differences) {
    out += d.reason + ":";
    if (!d.ip.empty()) out += " " + d.ip;
    if (!d.mac.empty()) out += " mac " + d.mac;
    if (!d.kernel_mac.empty()) out += " kernel " + d.kernel_mac;
    if (!d.object.empty()) out += " in " + d.object;
    if (!d.rules.empty()) out += " rule " + rule_numbers(d.rules);
    out += "\n";
  }
  if (!desired.logged_out.empty()) {
    out += "Logged out login clients (not differences):\n";
    for (const auto& [ip, l] : desired.logged_out)
      out += "  " + ip + " mac " + l.mac + " client " + std::to_string(l.cid) + "\n";
  }
  return out;
}

std::string verify_json(int rid, const std::vector<Difference>& differences, const Desired& desired) {
  std::string out = "{\"router\":" + std::to_string(rid) + ",\"differences\":[";
  bool first = true;
  for (const Difference& d : differences) {
    out += first ? "" : ",";
    first = false;
    out += "{\"reason\":" + json_string(d.reason) + ",\"address\":" + json_string(d.ip) +
           ",\"mac\":" + json_string(d.mac) + ",\"kernel_mac\":" + json_string(d.kernel_mac) +
           ",\"object\":" + json_string(d.object) + ",\"rules\":[" + rule_numbers(d.rules) + "]}";
  }
  out += "],\"logged_out\":[";
  first = true;
  for (const auto& [ip, l] : desired.logged_out) {
    out += first ? "" : ",";
    first = false;
    out += "{\"address\":" + json_string(ip) + ",\"mac\":" + json_string(l.mac) + ",\"client\":" + std::to_string(l.cid) + "}";
  }
  return out + "]}\n";
}

}  // namespace zarn_state
