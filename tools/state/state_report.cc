#include "tools/state/state_report.h"

#include <cstdio>

namespace zarn_state {

namespace {

std::string rule_numbers(const std::vector<MarkRule>& rules) {
  std::string out;
  for (const MarkRule& r : rules) out += (out.empty() ? "" : ",") + std::to_string(r.number);
  return out;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

// " client CID address A,B" of a shaping difference ("none" where nothing is known).
std::string client_text(const Difference& d) {
  if (d.client.empty()) return " client none";
  return " client " + d.client + " address " + (d.client_addresses.empty() ? "none" : joined(d.client_addresses, ","));
}

// The client id as a JSON number, or null.
std::string client_json(const std::string& client) {
  bool digits = !client.empty() && client.find_first_not_of("0123456789") == std::string::npos;
  return digits ? client : "null";
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
    if (d.names_client) out += client_text(d);
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
           ",\"object\":" + json_string(d.object) + ",\"rules\":[" + rule_numbers(d.rules) +
           "],\"client\":" + client_json(d.client) + ",\"client_addresses\":[";
    std::vector<std::string> quoted;
    for (const std::string& a : d.client_addresses) quoted.push_back(json_string(a));
    out += joined(quoted, ",") + "]}";
  }
  out += "],\"logged_out\":[";
  first = true;
  for (const auto& [ip, l] : desired.logged_out) {
    out += first ? "" : ",";
    first = false;
    out += "{\"address\":" + json_string(ip) + ",\"mac\":" + json_string(l.mac) +
           ",\"client\":" + std::to_string(l.cid) + "}";
  }
  return out + "]}\n";
}

}  // namespace zarn_state
