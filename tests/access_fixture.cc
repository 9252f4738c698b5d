#include "tests/access_fixture.h"

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

namespace zarn_test {

namespace {

struct Setting {
  int id, cid, rid;
  const char* ip;
  const char* mac;
  int active;
};

const Setting kSettings[] = {
    {1, 1, 1, "10.1.1.10", "02:00:00:00:01:0A", 1}, {2, 2, 1, "10.1.1.11", "02:00:00:00:01:0B", 123},
    {3, 3, 1, "10.1.1.12", "02:00:00:00:01:0C", 0}, {4, 4, 1, "10.1.2.13", "02:00:00:00:02:0D", 1},
    {5, 5, 2, "10.9.9.5", "02:00:00:00:09:05", 1},  {6, 6, 1, "10.1.2.50", "02:00:00:00:02:32", 1},
    {7, 7, 1, "10.1.2.50", "02:00:00:00:02:33", 1}, {8, 8, 1, "10.1.2.14", "0", 1},
};

}  // namespace

void load_router(TestDatabase& db) {
  db.exec(
      "INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'r1', '10.1.1.1'), (2, 'r2', '10.9.9.1');"
      "INSERT INTO internal_net (rid, net, host_min, host_max) VALUES"
      " (1, '10.1.1.0/24', INET_ATON('10.1.1.1'), INET_ATON('10.1.1.254')),"
      " (1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254')),"
      " (2, '10.9.9.0/24', INET_ATON('10.9.9.1'), INET_ATON('10.9.9.254'));"
      "INSERT INTO internet_clients (id, remote) VALUES (1,1),(2,1),(3,1),(4,1),(5,2),(6,1),(7,1),(8,1);"
      "INSERT INTO internet_gate_auth (sid, password) VALUES (4, 'secret');");
  for (const Setting& s : kSettings) {
    std::ostringstream sql;
    sql << "INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES (" << s.id << "," << s.cid << ","
        << s.rid << ",'" << s.ip << "','" << s.mac << "'," << s.active << ")";
    db.exec(sql.str());
  }
}

std::string mac_of(const std::string& ip) {
  for (const Setting& s : kSettings)
    if (ip == s.ip) return s.mac;
  return "";
}

std::string saved_table(const std::string& table) {
  RunResult r = run({"/usr/sbin/iptables-legacy-save", "-t", table});
  std::istringstream lines(r.output);
  std::string line, out;
  static const std::regex counters(" \\[[0-9]+:[0-9]+\\]");
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    out += std::regex_replace(line, counters, "") + "\n";
  }
  return out;
}

std::vector<std::string> set_members(const std::string& set) {
  RunResult r = run({"/usr/sbin/ipset", "list", set});
  std::vector<std::string> members;
  std::istringstream lines(r.output);
  std::string line;
  bool in_members = false;
  while (std::getline(lines, line)) {
    if (in_members && !line.empty()) members.push_back(line);
    if (line == "Members:") in_members = true;
  }
  std::sort(members.begin(), members.end());
  return members;
}

bool set_exists(const std::string& set) { return run({"/usr/sbin/ipset", "list", "-n", set}).exit_status == 0; }

RunResult runner(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/zarn/bin/gw-runner"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_as_zarn(argv);
}

RunResult module_host(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv{ZARN_MODULE_HOST};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> environment{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  environment.insert(environment.end(), env.begin(), env.end());
  return run(argv, environment);
}

void configure_router(TestDatabase& db) {
  require_private_netns();
  for (const auto& entry : std::filesystem::directory_iterator("/zarn/logs")) std::filesystem::remove_all(entry.path());
  write_file("/zarn/conf/zarn-router.conf", db.config_lines());
}

}  // namespace zarn_test
