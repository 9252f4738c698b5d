#include "macwatch/settings_rows.h"

#include <cstdlib>

#include "libzarn/format.h"
#include "libzarn/sql.h"
#include "libzarn/string_utils.h"

const char* const kPingerQuery =
    "SELECT a.ip,a.id, a.active, b.device, a.hostup from internet_settings as a left join internal_net as b on "
    "substring_index( a.ip, '.', 3 ) = substring_index( b.net, '.', 3 ) WHERE substring_index( b.net, '.', 3 ) IS "
    "NOT NULL  AND  b.host_min <= inet_aton( a.ip ) AND b.host_max >= inet_aton( a.ip )  AND a.cid IN (SELECT id "
    "FROM internet_clients WHERE remote = '%d' ) and ip <> '000.000.000.000' ORDER BY ip";

const char* const kMissingMacQuery =
    "SELECT a.ip,a.id, a.active, b.device from internet_settings as a left join internal_net as b on "
    "substring_index( a.ip, '.', 3 ) = substring_index( b.net, '.', 3 ) WHERE substring_index( b.net, '.', 3 ) IS "
    "NOT NULL  AND  b.host_min <= inet_aton( a.ip ) AND b.host_max >= inet_aton( a.ip ) AND (a.mac = '0' OR a.mac "
    "= '' OR a.mac='FF:FF:FF:FF:FF:FF') AND a.cid\tIN (SELECT id FROM internet_clients WHERE remote = '%d' ) and ip "
    "<> '000.000.000.000' ORDER BY ip";

std::optional<std::vector<SettingRow>> select_settings(MYSQL* connection, const char* query, int router) {
  SqlResult result = sql_query(connection, query, router);
  if (!result) return std::nullopt;
  std::vector<SettingRow> rows;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    SettingRow r;
    r.ip = row[0] ? row[0] : "";
    r.id = row[1] ? row[1] : "";
    r.active = row[2] ? std::atoi(row[2]) : 0;
    if (row[3]) r.device = row[3];
    if (mysql_num_fields(result.get()) > 4 && row[4]) r.hostup = row[4];
    rows.push_back(std::move(r));
  }
  return rows;
}

// The id and the address name the row the query gave: a row whose address
// changed in between is left alone, and other settings (of this router or of
// another one) that share the address keep what they hold.
void store_mac(MYSQL* connection, const SettingRow& row, const std::string& mac) {
  sql_query(connection, "update internet_settings set mac='%s' where id='%s' and ip='%s'", slash_this(mac).c_str(),
            slash_this(row.id).c_str(), slash_this(row.ip).c_str());
}

std::optional<std::string> hostup_update(const SettingRow& row, bool answered) {
  if (row.hostup == (answered ? "1" : "0")) return std::nullopt;
  return format("update internet_settings set hostup='%s' where id='%s' and ip='%s'", answered ? "1" : "0",
                slash_this(row.id).c_str(), slash_this(row.ip).c_str());
}

bool opens_forwarding(const SettingRow& row) { return row.active == 1 || row.active == 123; }
