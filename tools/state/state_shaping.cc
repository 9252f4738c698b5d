#include "tools/state/state_shaping.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>

#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_shaper/address_book.h"
#include "modules/mod_shaper/class_numbers.h"
#include "modules/mod_shaper/queries.h"
#include "modules/mod_shaper/rows.h"
#include "modules/mod_shaper/values.h"

namespace zarn_state {

namespace {

constexpr uint32_t kMetroParent = 0x00010010;
constexpr uint32_t kExternParent = 0x00010020;

// The class id that "1:0x%d" of a class minor gives: the decimal digits read as hexadecimal.
uint32_t client_classid(int minor) {
  return 0x00010000u | static_cast<uint32_t>(std::strtoul(std::to_string(minor).c_str(), nullptr, 16) & 0xFFFFu);
}

// A filter by what it does; the parent it hangs under cannot be told from a dump.
using FilterKey = std::tuple<std::string, uint32_t, std::string, std::string>;

FilterKey key_of(const std::string& device, const TcFilter& f) { return {device, f.classid, f.direction, f.ip}; }

std::string class_object(const std::string& device, const TcClass& c) {
  return device + " class " + classid_text(c.classid) + " parent " + classid_text(c.parent);
}

// The clients of the router's settings by id and by address.
class ClientDirectory {
 public:
  explicit ClientDirectory(const std::vector<SettingRow>& settings) {
    for (const SettingRow& row : settings) {
      std::string cid = std::to_string(row.cid);
      std::vector<std::string>& addresses = addresses_[cid];
      if (std::find(addresses.begin(), addresses.end(), row.ip) == addresses.end()) addresses.push_back(row.ip);
      owners_.emplace(row.ip, cid);  // an address of two settings: the first by id
    }
  }
  // The client of the address, or "".
  std::string owner(const std::string& ip) const {
    auto found = owners_.find(ip);
    return found == owners_.end() ? "" : found->second;
  }
  // Names `client` in the difference.
  void name(Difference& d, const std::string& client) const {
    d.names_client = true;
    d.client = client;
    auto found = addresses_.find(client);
    if (found != addresses_.end()) d.client_addresses = found->second;
  }

 private:
  std::map<std::string, std::vector<std::string>> addresses_;
  std::map<std::string, std::string> owners_;
};

// The client of a class that no client should have: the owner of the first
// address that a filter of the kernel sends to it, or "".
std::string client_sent_to(const Shaping& s, const std::string& device, uint32_t classid,
                           const ClientDirectory& clients) {
  for (const auto& [filter_device, f] : s.held_filters) {
    if (filter_device != device || f.classid != classid) continue;
    std::string owner = clients.owner(f.ip);
    if (!owner.empty()) return owner;
  }
  return "";
}

}  // namespace

uint64_t rate_bytes(const std::string& text) {
  uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
  if (text.find("Mbit") != std::string::npos) return n * 1000000 / 8;
  return n * 1000 / 8;
}

std::optional<Shaping> load_shaping(MYSQL* connection, int rid, std::string* error) {
  Shaping s;
  SqlResult devices = sql_query(connection, shaper_queries::kActiveDevices, rid);
  if (!devices) {
    *error = "cannot read the devices";
    return std::nullopt;
  }
  // The restrictions and the addresses of all the router's clients, read once
  // as the rebuild reads them, whatever the number of clients.
  SqlResult restrictions;
  std::optional<shaper::AddressBook> book;
  while (MYSQL_ROW row = mysql_fetch_row(devices.get())) {
    shaper::DeviceRow d = shaper::device_row(row);
    if (!shaper::usable_device_row(d) || (!d.metro && !d.extern_)) continue;
    std::vector<uint32_t> parents;
    if (d.metro) parents.push_back(kMetroParent);
    if (d.extern_) parents.push_back(kExternParent);
    s.devices.emplace_back(d.device, parents);
    if (!restrictions) {
      restrictions = sql_query(connection, shaper_queries::kRouterRestrictions, rid);
      SqlResult addresses = restrictions ? sql_query(connection, shaper_queries::kRouterAddresses, rid) : nullptr;
      if (!restrictions || !addresses) {
        *error = restrictions ? "cannot read the addresses" : "cannot read the restrictions";
        return std::nullopt;
      }
      book = shaper::group_addresses(addresses.get());
    }
    if (mysql_num_fields(restrictions.get()) < shaper::kRestrictionColumns) continue;
    mysql_data_seek(restrictions.get(), 0);
    // The rows the rebuild skips for their class numbers are not wanted either.
    shaper::ClassRegister classes;
    while (MYSQL_ROW r = mysql_fetch_row(restrictions.get())) {
      if (!classes.admit(d, r)) continue;
      const std::string cid = shaper::column(r, 1);
      const unsigned first = d.in != 0 ? 2 : 6;
      const uint32_t m = client_classid(class_minor(shaper::column(r, 10)));
      const uint32_t e = client_classid(class_minor(shaper::column(r, 11)));
      if (d.metro)
        s.wanted_classes.push_back({d.device,
                                    {m, kMetroParent, rate_bytes(rate_text(shaper::column(r, first))),
                                     rate_bytes(rate_text(shaper::column(r, first + 1)))},
                                    cid});
      if (d.extern_)
        s.wanted_classes.push_back({d.device,
                                    {e, kExternParent, rate_bytes(rate_text(shaper::column(r, first + 2))),
                                     rate_bytes(rate_text(shaper::column(r, first + 3)))},
                                    cid});
      const std::string direction = d.in != 0 ? "dst" : "src";
      for (const std::string& ip : shaper::addresses_of(*book, cid)) {
        if (!is_address(ip)) continue;
        if (d.metro) s.wanted_filters.push_back({d.device, {kMetroParent, m, direction, ip}, cid});
        if (d.extern_) s.wanted_filters.push_back({d.device, {kExternParent, e, direction, ip}, cid});
      }
    }
  }
  return s;
}

bool read_shaping(Shaping& s, std::string* error) {
  for (const auto& [device, parents] : s.devices) {
    std::optional<std::vector<TcClass>> classes = read_classes(device, error);
    if (!classes) return false;
    for (const TcClass& c : *classes)
      for (uint32_t p : parents)
        if (c.parent == p) s.held_classes.emplace_back(device, c);
    std::set<uint32_t> seen;  // handles: every parent's dump shows the filters of all
    for (uint32_t p : parents) {
      std::optional<std::vector<TcFilter>> filters = read_filters(device, p, error);
      if (!filters) return false;
      for (const TcFilter& f : *filters)
        if (seen.insert(f.handle).second) s.held_filters.emplace_back(device, f);
    }
  }
  return true;
}

std::vector<Difference> compare_shaping(const Shaping& s, const std::vector<SettingRow>& settings) {
  const ClientDirectory clients(settings);
  std::vector<Difference> out;
  std::map<std::pair<std::string, uint32_t>, const TcClass*> held;
  for (const auto& [device, c] : s.held_classes) held[{device, c.classid}] = &c;
  std::map<std::pair<std::string, uint32_t>, std::string> client_of;
  for (const WantedClass& w : s.wanted_classes) {
    client_of[{w.device, w.cls.classid}] = w.cid;
    auto found = held.find({w.device, w.cls.classid});
    if (found == held.end()) {
      out.push_back({kClassMissing, "", "", "", class_object(w.device, w.cls), {}, w.cid});
      clients.name(out.back(), w.cid);
      continue;
    }
    const TcClass& h = *found->second;
    if (h.parent != w.cls.parent || h.rate != w.cls.rate || h.ceil != w.cls.ceil) {
      out.push_back({kClassWrongRate,
                     "",
                     "",
                     "",
                     class_object(w.device, w.cls) + " rate " + std::to_string(h.rate) + " ceil " +
                         std::to_string(h.ceil) + " should be " + std::to_string(w.cls.rate) + " ceil " +
                         std::to_string(w.cls.ceil) + " bytes/s",
                     {},
                     w.cid});
      clients.name(out.back(), w.cid);
    }
    held.erase(found);
  }
  for (const auto& [where, c] : held) {
    out.push_back({kClassStale, "", "", "", class_object(where.first, *c), {}, ""});
    clients.name(out.back(), client_sent_to(s, where.first, c->classid, clients));
  }

  std::map<FilterKey, int> balance;  // wanted minus held
  for (const WantedFilter& w : s.wanted_filters) ++balance[key_of(w.device, w.filter)];
  for (const auto& [device, f] : s.held_filters) --balance[key_of(device, f)];
  std::map<std::pair<std::string, uint32_t>, uint32_t> parent_of;
  for (const WantedClass& w : s.wanted_classes) parent_of[{w.device, w.cls.classid}] = w.cls.parent;
  for (const auto& [key, n] : balance) {
    const auto& [device, classid, direction, ip] = key;
    auto parent = parent_of.find({device, classid});
    std::string object = device + (parent == parent_of.end() ? "" : " parent " + classid_text(parent->second)) + " " +
                         direction + " flowid " + classid_text(classid);
    auto owner = client_of.find({device, classid});
    std::string cid = owner == client_of.end() ? "" : owner->second;
    // A filter of no client's class belongs to the client whose address it sends.
    const std::string named = cid.empty() ? clients.owner(ip) : cid;
    for (int i = 0; i < n; ++i) {
      out.push_back({kFilterMissing, ip, "", "", object, {}, cid});
      clients.name(out.back(), named);
    }
    for (int i = 0; i < -n; ++i) {
      out.push_back({kFilterStale, ip, "", "", object, {}, cid});
      clients.name(out.back(), named);
    }
  }
  return out;
}

}  // namespace zarn_state
