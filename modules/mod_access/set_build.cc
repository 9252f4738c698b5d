#include "modules/mod_access/set_build.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdint>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "libzarn/log.h"
#include "modules/mod_access/classes.h"
#include "modules/mod_access/ipset_command.h"
#include "modules/mod_access/row_checks.h"

namespace {

// One set of the build: its network, its temporary twin and the entries queued for it.
struct BuiltSet {
  std::string name, temp, net;
  uint32_t first = 0, last = 0;
  std::vector<MacEntry> entries;
  std::vector<bool> taken;  // by address, from `first`
};

constexpr int kSwapAttempts = 50;
constexpr useconds_t kSwapPause = 2000;  // microseconds

bool running = false;
bool filled = false;
int refused = 0;
int failures = 0;  // sets that could not be filled or swapped
std::vector<BuiltSet> sets;
std::unordered_map<std::string, size_t> by_name;
std::unordered_map<std::string, size_t> by_net;

// src_A_B_C_D_M is filled as new_A_B_C_D_M (the names stay within 31 characters).
std::string temporary_name(const std::string& name) { return "new_" + name.substr(name.find('_') + 1); }

// The names of the sets the kernel held when the build began.
std::unordered_set<std::string> existing;

std::unordered_set<std::string> set_names() {
  std::unordered_set<std::string> names;
  std::string listing;
  if (!ipset_output("-L -n", &listing)) return names;
  std::istringstream lines(listing);
  for (std::string name; std::getline(lines, name);)
    if (!name.empty()) names.insert(name);
  return names;
}

bool make_set(const std::string& name, const std::string& net) {
  std::string refusal;
  if (ipset_tolerant("-N " + name + " macipmap --network " + net, &refusal)) return true;
  write_log("Error_ipset: %s\n", refusal.c_str());
  return false;
}

// ADDRESS,MAC as the set program writes an entry.
std::string entry_text(const MacEntry& e) {
  char text[40];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u,%02X:%02X:%02X:%02X:%02X:%02X", e.address >> 24,
                (e.address >> 16) & 255, (e.address >> 8) & 255, e.address & 255, e.mac[0], e.mac[1], e.mac[2],
                e.mac[3], e.mac[4], e.mac[5]);
  return text;
}

bool fill_one_by_one(const BuiltSet& s) {
  bool ok = true;
  for (const MacEntry& entry : s.entries) {
    std::string refusal;
    if (ipset_tolerant("-A " + s.temp + " " + entry_text(entry) + " -exist", &refusal)) continue;
    write_log("Error_ipset: %s\n", refusal.c_str());
    ok = false;
  }
  return ok;
}

// The kernel refuses to swap a set while someone lists it (a listing takes
// milliseconds): a few more tries before the swap counts as failed.
bool swap_sets(const std::string& temp, const std::string& name, std::string* refusal) {
  for (int attempt = 0;; ++attempt) {
    if (ipset_tolerant("-W " + temp + " " + name, refusal)) return true;
    if (attempt == kSwapAttempts || refusal->find("busy") == std::string::npos) return false;
    usleep(kSwapPause);
  }
}

}  // namespace

void set_build_begin() {
  running = true;
  filled = false;
  refused = 0;
  failures = 0;
  sets.clear();
  by_name.clear();
  by_net.clear();
  existing = set_names();
}

bool set_build_running() { return running; }

bool set_build_has(const std::string& name) { return by_name.count(name) != 0; }

int set_build_refused() { return refused; }

bool set_build_create(const std::string& name, const std::string& net) {
  BuiltSet s;
  s.name = name;
  s.temp = temporary_name(name);
  s.net = net;
  NetNumbers n = net_numbers(net);
  uint32_t mask = n.m == 0 ? 0 : ~uint32_t{0} << (32 - n.m);
  s.first = static_cast<uint32_t>((n.a << 24) | (n.b << 16) | (n.c << 8) | n.d) & mask;
  s.last = s.first | ~mask;
  if (existing.count(s.temp)) ipset_tolerant("-X " + s.temp, nullptr);  // left by a build that did not end
  if (!existing.count(name) && !make_set(name, net)) return false;
  if (!make_set(s.temp, net)) return false;
  s.taken.assign(static_cast<size_t>(s.last - s.first) + 1, false);  // the kernel took the network: 65536 at most
  by_name[name] = sets.size();
  by_net[net] = sets.size();
  sets.push_back(std::move(s));
  return true;
}

namespace {

// Queues the entry ip,mac (or `entry` as given: ip, or ip,mac) for set `s`
// after the checks of every add during a build.
int queue_entry(BuiltSet& s, const std::string* entry, const std::string& ip, const std::string& mac) {
  in_addr parsed{};
  uint32_t address = inet_pton(AF_INET, ip.c_str(), &parsed) == 1 ? ntohl(parsed.s_addr) : 0;
  if (address < s.first || address > s.last || address == 0) {
    write_log("Internet: row skipped, ip outside the network %s of its set: %s\n", s.net.c_str(), ip.c_str());
    ++refused;
    return 0;
  }
  if (s.taken[address - s.first]) {
    write_log("Internet: row skipped, ip given twice: %s\n", ip.c_str());
    ++refused;
    return 0;
  }
  s.taken[address - s.first] = true;
  MacEntry parsed_entry;
  parsed_entry.address = address;
  // A MAC in the stored form goes in as numbers; any other is left to the set program's own reading.
  if (!filled && parse_mac(mac, &parsed_entry.mac)) {
    s.entries.push_back(parsed_entry);
    return 1;
  }
  // Once the sets are filled, or in another form, the add goes on its own.
  std::string refusal;
  if (ipset_tolerant("-A " + s.temp + " " + (entry ? *entry : ip + "," + mac), &refusal)) return 1;
  write_log("Error_ipset: %s\n", refusal.c_str());
  ++refused;
  return 0;
}

int no_set_for(const std::string& ip) {
  write_log("Internet: row skipped, no set of this router holds ip: %s\n", ip.c_str());
  ++refused;
  return 0;
}

}  // namespace

int set_build_command(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (argc != 4 || (verb != "-A" && verb != "add")) return ipset_do_command(argc, argv);
  std::string entry = argv[3];
  size_t comma = entry.find(',');
  std::string ip = entry.substr(0, comma);
  auto found = by_name.find(argv[2]);
  if (found == by_name.end()) return no_set_for(ip);
  BuiltSet& s = sets[found->second];
  return queue_entry(s, &entry, ip, comma == std::string::npos ? "" : entry.substr(comma + 1));
}

int set_build_add(const std::string& net, const std::string& ip, const std::string& mac) {
  auto found = by_net.find(net);
  if (found == by_net.end()) found = by_name.find(source_name(net));
  if (found == by_name.end()) return no_set_for(ip);
  return queue_entry(sets[found->second], nullptr, ip, mac);
}

void set_build_fill() {
  if (filled) return;
  filled = true;
  for (const BuiltSet& s : sets) {
    std::string refusal;
    if (s.entries.empty() || ipset_add_entries(s.temp, s.entries, &refusal)) continue;
    write_log("Error_ipset: %s\n", refusal.c_str());
    // A refused message may have lost the entries behind the refused one: add
    // them again one by one, the ones in the set already allowed.
    if (!fill_one_by_one(s)) ++failures;
  }
}

int set_build_swap_in() {
  set_build_fill();
  std::string refusal;
  for (const BuiltSet& s : sets) {
    if (!swap_sets(s.temp, s.name, &refusal)) {
      write_log("Error_ipset: %s\n", refusal.c_str());
      ++failures;
      continue;
    }
    // The twin now holds the old members and no rule names it.
    ipset_tolerant("-X " + s.temp, nullptr);
  }
  return failures;
}

void set_build_end(bool destroy_others) {
  // A set that a rule still names cannot be destroyed and stays as it is.
  if (destroy_others)
    for (const std::string& name : set_names())
      if (!set_build_has(name)) ipset_tolerant("-X " + name, nullptr);
  running = false;
  sets.clear();
  by_name.clear();
  by_net.clear();
  existing.clear();
}
