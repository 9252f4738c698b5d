#include "modules/mod_shaper/shaper_test_rig.h"

#include <regex>
#include <sstream>
#include <stdexcept>

#include "libzarn/config.h"
#include "libzarn/globals.h"
#include "libzarn/sql.h"

using namespace zarn_test;

namespace shaper_test {

namespace {

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The value after `key` in the words, or "".
std::string after(const std::vector<std::string>& w, const std::string& key) {
  for (size_t i = 0; i + 1 < w.size(); ++i)
    if (w[i] == key) return w[i + 1];
  return "";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The veth pairs made by the running test, removed at its end.
std::vector<std::string> made_devices;

}  // namespace

void add_veth(const std::string& name) {
  RunResult r = run({"/usr/sbin/ip", "link", "add", "name", name, "type", "veth", "peer", "name", name + "p"});
  if (r.exit_status != 0) throw std::runtime_error("cannot add veth " + name + ": " + r.output);
  run({"/usr/sbin/ip", "link", "set", name, "up"});
  run({"/usr/sbin/ip", "link", "set", name + "p", "up"});
  made_devices.push_back(name);
}

std::string tc(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/sbin/tc"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv).output;
}

std::set<std::string> classes(const std::string& device) {
  std::set<std::string> out;
  for (const std::string& line : lines(tc({"-d", "class", "show", "dev", device}))) {
    std::vector<std::string> w = words(line);
    if (w.size() < 3 || w[0] != "class") continue;
    std::string text = w[2];
    std::string parent = after(w, "parent");
    text += parent.empty() ? " root" : " parent " + parent;
    for (const char* key : {"prio", "quantum", "rate", "ceil", "burst"}) {
      std::string value = after(w, key);
      if (key == std::string("burst")) value = value.substr(0, value.find('/'));
      if (!value.empty()) text += std::string(" ") + key + " " + value;
    }
    out.insert(text);
  }
  return out;
}

std::set<std::string> qdiscs(const std::string& device) {
  std::set<std::string> out;
  for (const std::string& line : lines(tc({"-d", "qdisc", "show", "dev", device}))) {
    std::vector<std::string> w = words(line);
    if (w.size() < 4 || w[0] != "qdisc") continue;
    std::string text = w[1] + " " + w[2];
    std::string parent = after(w, "parent");
    text += parent.empty() ? " root" : " parent " + parent;
    for (const char* key : {"default", "limit"}) {
      std::string value = after(w, key);
      if (!value.empty()) text += std::string(" ") + key + " " + value;
    }
    out.insert(text);
  }
  return out;
}

std::multiset<std::string> u32_filters(const std::string& device, const std::string& parent) {
  std::multiset<std::string> out;
  std::string current;
  for (const std::string& line : lines(tc({"-d", "filter", "show", "dev", device, "parent", parent}))) {
    std::vector<std::string> w = words(line);
    if (!w.empty() && w[0] == "filter") {
      std::string flowid = after(w, "*flowid");
      if (flowid.empty()) flowid = after(w, "flowid");
      current = flowid.empty() ? "" : "pref " + after(w, "pref") + " flowid " + flowid;
    } else if (!w.empty() && w[0] == "match" && !current.empty()) {
      out.insert(current + " match " + w[1] + " at " + after(w, "at"));
      current.clear();
    }
  }
  return out;
}

std::string root_filters(const std::string& device) { return tc({"filter", "show", "dev", device, "parent", "1:"}); }

bool kernel_has_fw() {
  static int known = -1;
  if (known < 0) {
    add_veth("fwprobe");
    tc({"qdisc", "add", "dev", "fwprobe", "root", "handle", "1:", "htb"});
    RunResult r = run({"/usr/sbin/tc", "filter", "add", "dev", "fwprobe", "parent", "1:", "protocol", "ip", "prio", "1",
                       "handle", "1", "fw", "classid", "1:1"});
    known = r.exit_status == 0;
    run({"/usr/sbin/ip", "link", "del", "fwprobe"});
    made_devices.pop_back();
  }
  return known == 1;
}

void ShaperTest::SetUp() {
  require_private_netns();
  conf_ = dir_.file("zarn-router.conf");
  log_ = dir_.file("shaper.log");
  write_file(conf_, db_.config_lines());
  // The settings are read once per process: forget the previous test's.
  for (auto* setting : {&mysql_sock, &mysql_host, &mysql_user, &mysql_passwd, &mysql_dbname}) setting->reset();
  conf_file = conf_.c_str();
  extern_error_log = log_.c_str();
  mysql_r = sql_connect();
  ASSERT_NE(mysql_r, nullptr) << read_file(log_);
}

void ShaperTest::TearDown() {
  for (const std::string& device : made_devices) run({"/usr/sbin/ip", "link", "del", device});
  made_devices.clear();
  sql_close(mysql_r);
  mysql_r = nullptr;
  extern_error_log = nullptr;
}

std::string ShaperTest::log() const { return path_exists(log_) ? read_file(log_) : ""; }

void ShaperTest::clear_log() const { write_file(log_, ""); }

}  // namespace shaper_test
