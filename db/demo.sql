-- Demo data: one router (id 1) with two internal networks, two shaped
-- devices and a handful of clients in every state the programs treat apart.
-- Load after schema.sql, into the same database:
--   mariadb --default-character-set=utf8mb4 DBNAME < db/demo.sql
--
-- The addresses and devices exist only inside the demo's private network
-- namespaces: the router is 10.1.1.1 on lan0 (10.1.1.0/24) and 10.1.2.1 on
-- lan1 (10.1.2.0/24).
--
-- Passwords: every cipher text below is Triple DES in ECB mode under the key
-- "routerkey" (key zero-padded to 24 bytes, text zero-padded to whole 8-byte
-- blocks), stored as raw bytes through UNHEX. Use crypt_key routerkey in
-- both zarn-router.conf and zarn-auth.conf:
--   control login  user "demo",  password "abcde"    -> 48730e77e7766655
--   subscriber     user "alice", password "abcdefgh" -> 6592a29ddd2f0b6f
-- (pairs from tests/data/tripledes-ecb.tsv; neither holds a zero byte.)
-- The router's `user` is also the database account the login daemon
-- connects as (mysql_user "demo"), by which it finds router id 1.

SET SESSION sql_mode = '';
SET NAMES utf8mb4;

INSERT INTO internet_routers (id, rname, ip, `user`, `password`, use_verify) VALUES
  (1, 'demo-router', '10.1.1.1', 'demo', UNHEX('48730e77e7766655'), 0);

INSERT INTO internal_net (id, rid, net, host_min, host_max, gw, device) VALUES
  (1, 1, '10.1.1.0/24', INET_ATON('10.1.1.1'), INET_ATON('10.1.1.254'), '10.1.1.1', 'lan0'),
  (2, 1, '10.1.2.0/24', INET_ATON('10.1.2.1'), INET_ATON('10.1.2.254'), '10.1.2.1', 'lan1');

-- lan0 shapes metro (mark 10) and extern (mark 20) traffic; lan1 only metro
-- (mark 11). Both carry traffic towards the clients (`in` 1).
INSERT INTO routers_devices (id, rid, device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`, active) VALUES
  (1, 1, 'lan0', 10, 20, '100Mbit', '20Mbit', 1, 1),
  (2, 1, 'lan1', 11,  0, '100Mbit', '0Mbit',  1, 1);

INSERT INTO internet_clients (id, remote, name) VALUES
  (1, 1, 'paid client, two addresses'),
  (2, 1, 'paid client with a notice (active 123)'),
  (3, 1, 'unpaid client'),
  (4, 1, 'paid client, MAC not known yet'),
  (5, 1, 'gate login client'),
  (6, 1, 'subscriber with a login account');

INSERT INTO internet_settings (id, cid, rid, ip, realip, mac, active, hostup) VALUES
  (1, 1, 1, '10.1.1.10', '', '02:00:00:00:01:0a', 1,   0),
  (2, 1, 1, '10.1.2.20', '', '02:00:00:00:02:14', 1,   0),
  (3, 2, 1, '10.1.1.11', '', '02:00:00:00:01:0b', 123, 0),
  (4, 3, 1, '10.1.1.12', '', '02:00:00:00:01:0c', 0,   0),
  (5, 4, 1, '10.1.2.10', '', '0',                 1,   0),
  (6, 5, 1, '10.1.2.11', '', '02:00:00:00:02:0b', 1,   0),
  (7, 6, 1, '10.1.2.12', '', '02:00:00:00:02:0c', 1,   0);

-- Setting 6 (client 5) is opened by its gate login, not by the firewall
-- build; only the presence of the password matters here.
INSERT INTO internet_gate_auth (id, sid, `password`) VALUES
  (1, 6, UNHEX('48730e77e7766655'));

-- Client 6 logs in through zarn-auth as alice / abcdefgh from 10.1.2.12,
-- giving the gateway 10.1.2.1.
INSERT INTO internet_vpn (id, cid, `user`, pass) VALUES
  (1, 6, 'alice', UNHEX('6592a29ddd2f0b6f'));

-- Rates in kbit/s; class numbers distinct across the router's clients.
--                                  cid  in: metro   extern    out: metro  extern   classes
INSERT INTO internet_restrictions VALUES
  (1, 1, 4096, 8192, 1024, 2048, 1024, 2048, 512, 1024, 1, 2),
  (2, 2, 2048, 4096,  512, 1024,  512, 1024, 256,  512, 3, 4),
  (3, 6, 1024, 2048,  512, 1024,  512, 1024, 256,  512, 5, 6);

-- A message for every subscriber, and a notice link for client 6.
INSERT INTO internet_vpn_messages (id, cid, message, start_date, stop_date, notify) VALUES
  (1, 0, 'Welcome to the demo network.', '2000-01-01 00:00:00', '2037-12-31 23:59:59', 1);

INSERT INTO internet_vpn_url_messages (id, cid, url, start_date, stop_date, notify) VALUES
  (1, 6, 'http://10.1.2.1/notice.html', '2000-01-01 00:00:00', '2037-12-31 23:59:59', 1);
