#include "tools/state/state_database.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

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
std::optional<std::set<std::string>> column(MYSQL* connection, const std::string& query) {
  SqlResult res = sql_query(connection, "%s", query.c_str());
  if (!res) return std::nullopt;
  std::set<std::string> values;
  while (MYSQL_ROW row = mysql_fetch_row(res.get())) values.insert(text(row, 0));
  return values;
}

}  // namespace

std::optional<int> router_id(MYSQL* connection, const std::string& listen_address) {
  SqlResult res = sql_query(connection, "select id from internet_routers where ip = '%s'",
                            slash_this(listen_address).c_str());
  if (!res) return std::nullopt;
  MYSQL_ROW row = mysql_fetch_row(res.get());
  if (!row || !row[0]) return std::nullopt;
  return std::atoi(row[0]);
}

std::optional<Desired> load_desired(MYSQL* connection, int rid, std::string* error) {
  Desired d;
  SqlResult nets = sql_query(connection, access_queries::kNetworks, rid);
  if (!nets) {
    *error = "cannot read the internal networks";
    return std::nullopt;
  }
  while (MYSQL_ROW row = mysql_fetch_row(nets.get()))
    if (std::optional<Network> n = make_network(text(row, 0))) d.networks.push_back(*n);

  auto open_gates = column(connection, "select remote_addr from internet_gate_log where logout_date='0000-00-00 00:00:00'");
  auto login_clients = column(connection, "select cid from internet_vpn where pass is not null");
  auto logged_in = column(connection, "select cid from internet_vpn_log where logout_date='0000-00-00 00:00:00'");
  if (!open_gates || !login_clients || !logged_in) {
    *error = "cannot read the logins";
    return std::nullopt;
  }
  // The client of each address of the router (a shared address keeps its first).
  std::map<std::string, std::string> client_of;
  SqlResult all = sql_query(connection,
                            "SELECT a.id,a.cid,a.ip,a.mac,a.active,a.hostup,b.password FROM internet_settings as a "
                            "left join internet_gate_auth as b on a.id=b.sid WHERE a.cid in (select id from "
                            "internet_clients where remote = '%d') and a.rid = '%d' ORDER BY a.id ASC",
                            rid, rid);
  if (!all) {
    *error = "cannot read the settings";
    return std::nullopt;
  }
  while (MYSQL_ROW row = mysql_fetch_row(all.get())) {
    SettingRow s;
    s.id = std::atoi(text(row, 0).c_str());
    s.cid = std::atoi(text(row, 1).c_str());
    s.ip = text(row, 2);
    s.mac = upper(text(row, 3));
    s.active = std::atoi(text(row, 4).c_str());
    s.hostup = std::atoi(text(row, 5).c_str());
    s.gate = !row[6] ? "none" : open_gates->count(s.ip) ? "open" : "closed";
    s.login = !login_clients->count(text(row, 1)) ? "none" : logged_in->count(text(row, 1)) ? "open" : "closed";
    client_of.emplace(s.ip, text(row, 1));
    if (!d.not_forwarded.count(s.ip)) d.not_forwarded[s.ip] = kStaleNotPaid;
    d.settings.push_back(std::move(s));
  }

  SqlResult paid = sql_query(connection, access_queries::kPaidSettings, rid, rid);
  if (!paid) {
    *error = "cannot read the paid settings";
    return std::nullopt;
  }
  while (MYSQL_ROW row = mysql_fetch_row(paid.get())) {
    std::string ip = text(row, 0), mac = upper(text(row, 1));
    std::string cid = client_of.count(ip) ? client_of[ip] : "";
    if (row[2]) {  // a gate client: forwarded exactly while its login is open
      if (open_gates->count(ip))
        d.forwards[ip] = mac;
      else
        d.not_forwarded[ip] = kStaleGateNotLoggedIn;
    } else if (login_clients->count(cid) && !logged_in->count(cid)) {
      d.logged_out[ip] = LoggedOut{ip, mac, std::atoi(cid.c_str())};
    } else {
      d.forwards[ip] = mac;
    }
  }
  for (const auto& [ip, mac] : d.forwards) d.not_forwarded.erase(ip);

  SqlResult unpaid = sql_query(connection, access_queries::kUnpaidSettings, rid, rid);
  if (!unpaid) {
    *error = "cannot read the unpaid settings";
    return std::nullopt;
  }
  while (MYSQL_ROW row = mysql_fetch_row(unpaid.get())) d.marks.insert(text(row, 0));
  return d;
}

}  // namespace zarn_state
