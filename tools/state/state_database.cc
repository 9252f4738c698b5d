#include "tools/state/state_database.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <future>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "libzarn/format.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"
#include "modules/mod_access/queries.h"
#include "tools/state/state_compare.h"

namespace zarn_state {

namespace {

std::string text(MYSQL_ROW row, int i) { return row[i] ? row[i] : ""; }

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Values of the first column of a query's rows; nothing when it fails.
std::optional<std::unordered_set<std::string>> column(MYSQL* connection, const std::string& query) {
  SqlResult res = sql_query(connection, "%s", query.c_str());
  if (!res) return std::nullopt;
  std::unordered_set<std::string> values;
  values.reserve(mysql_num_rows(res.get()));
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) values.insert(text(row, 0));
  return values;
}

}  // namespace

std::optional<int> router_id(MYSQL* connection, const std::string& listen_address) {
  SqlResult res =
      sql_query(connection, "select id from internet_routers where ip = '%s'", slash_this(listen_address).c_str());
  if (!res) return std::nullopt;
  MYSQL_ROW row = mysql_fetch_row(res.get());
  if (!row || !row[0]) return std::nullopt;
  return std::atoi(row[0]);
}

std::optional<std::vector<Network>> load_networks(MYSQL* connection, int rid, std::string* error) {
  SqlResult nets = sql_query(connection, access_queries::kNetworks, rid);
  if (!nets) {
    *error = "cannot read the internal networks";
    return std::nullopt;
  }
  std::vector<Network> networks;
  while (MYSQL_ROW row = mysql_fetch_row(nets.get()))
    if (std::optional<Network> n = make_network(text(row, 0))) networks.push_back(*n);
  return networks;
}

namespace {

// A row of the paid-settings query.
struct PaidRow {
  std::string ip;
  std::string mac;  // upper case
  bool gate = false;
};

std::optional<std::vector<PaidRow>> load_paid(MYSQL* connection, int rid) {
  SqlResult paid = sql_query(connection, access_queries::kPaidSettings, rid, rid);
  if (!paid) return std::nullopt;
  std::vector<PaidRow> rows;
  rows.reserve(mysql_num_rows(paid.get()));
  while (MYSQL_ROW row = mysql_fetch_row(paid.get()))
    rows.push_back({text(row, 0), upper(text(row, 1)), row[2] != nullptr});
  return rows;
}

}  // namespace

std::optional<Desired> load_desired(MYSQL* connection, MYSQL* paid_connection, int rid, std::vector<Network> networks,
                                    std::string* error) {
  // The paid-settings query takes longest; it runs beside the others. (A
  // return before its rows are taken waits for it: an async future's
  // destructor does.)
  std::future<std::optional<std::vector<PaidRow>>> paid =
      std::async(std::launch::async, load_paid, paid_connection, rid);

  Desired d;
  d.networks = std::move(networks);
  auto open_gates =
      column(connection, "select remote_addr from internet_gate_log where logout_date='0000-00-00 00:00:00'");
  auto login_clients = column(connection, "select cid from internet_vpn where pass is not null");
  auto logged_in = column(connection, "select cid from internet_vpn_log where logout_date='0000-00-00 00:00:00'");
  auto router_clients = column(connection, format("select id from internet_clients where remote = '%d'", rid));
  auto gate_settings = column(connection, "select sid from internet_gate_auth where password is not null");
  if (!open_gates || !login_clients || !logged_in || !router_clients || !gate_settings) {
    *error = "cannot read the logins";
    return std::nullopt;
  }
  // Every setting of the router's clients, and the client of each address (a
  // shared address keeps its first).
  std::unordered_map<std::string, std::string> client_of;
  SqlResult all = sql_query(
      connection, "SELECT id,cid,ip,mac,active,hostup FROM internet_settings WHERE rid = '%d' ORDER BY id ASC", rid);
  if (!all) {
    *error = "cannot read the settings";
    return std::nullopt;
  }
  d.settings.reserve(mysql_num_rows(all.get()));
  client_of.reserve(mysql_num_rows(all.get()));
  while (MYSQL_ROW row = mysql_fetch_row(all.get())) {
    if (!router_clients->count(text(row, 1))) continue;
    SettingRow s;
    s.id = std::atoi(text(row, 0).c_str());
    s.cid = std::atoi(text(row, 1).c_str());
    s.ip = text(row, 2);
    s.mac = upper(text(row, 3));
    s.active = std::atoi(text(row, 4).c_str());
    s.hostup = std::atoi(text(row, 5).c_str());
    s.gate = !gate_settings->count(text(row, 0)) ? "none" : open_gates->count(s.ip) ? "open" : "closed";
    s.login = !login_clients->count(text(row, 1)) ? "none" : logged_in->count(text(row, 1)) ? "open" : "closed";
    client_of.emplace(s.ip, text(row, 1));
    d.not_forwarded.emplace(s.ip, kStaleNotPaid);
    d.settings.push_back(std::move(s));
  }

  SqlResult unpaid = sql_query(connection, access_queries::kUnpaidSettings, rid, rid);
  if (!unpaid) {
    *error = "cannot read the unpaid settings";
    return std::nullopt;
  }
  while (MYSQL_ROW row = mysql_fetch_row(unpaid.get())) d.marks.insert(text(row, 0));

  std::optional<std::vector<PaidRow>> rows = paid.get();
  if (!rows) {
    *error = "cannot read the paid settings";
    return std::nullopt;
  }
  for (const PaidRow& row : *rows) {
    auto client = client_of.find(row.ip);
    std::string cid = client != client_of.end() ? client->second : "";
    if (row.gate) {  // a gate client: forwarded exactly while its login is open
      if (open_gates->count(row.ip))
        d.forwards[row.ip] = row.mac;
      else
        d.not_forwarded[row.ip] = kStaleGateNotLoggedIn;
    } else if (login_clients->count(cid) && !logged_in->count(cid)) {
      d.logged_out[row.ip] = LoggedOut{row.ip, row.mac, std::atoi(cid.c_str())};
    } else {
      d.forwards[row.ip] = row.mac;
    }
  }
  for (const auto& [ip, mac] : d.forwards) d.not_forwarded.erase(ip);
  return d;
}

}  // namespace zarn_state
