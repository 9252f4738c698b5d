-- Subscriber database of the gateway: every table the programs read or write.
--
-- Load into an empty database whose name the caller chooses:
--   mariadb --default-character-set=utf8mb4 DBNAME < db/schema.sql
-- Reloading drops and recreates every table (all rows are lost).
--
-- Conventions the programs rely on:
--   * Open rows carry '0000-00-00 00:00:00' in their end column (logout_date);
--     the programs look for exactly that text, so those columns are DATETIME
--     NOT NULL with that default. The server must accept zero dates (MariaDB's
--     default sql_mode does; NO_ZERO_DATE must not be set for the daemons'
--     sessions). The line below lets this file load under any server mode.
--   * Some statements insert or read BY POSITION ("insert into T values(...)",
--     "select *" read by column index). For those tables the comment above the
--     table says which program fixes the order: do not reorder their columns,
--     and add new ones only at the end.
--   * Stored passwords are the raw Triple DES (ECB) cipher text of the password
--     under the daemon's crypt_key, not hex or Base64: VARBINARY. The programs
--     handle the cipher text as a zero-terminated string, so a cipher text that
--     holds a zero byte counts only up to that byte; store such a value cut
--     before its first zero byte (see internet_vpn.pass).
--   * Addresses are dotted IPv4 text; '000.000.000.000' marks a setting with no
--     address. MAC addresses are colon-separated text; '0' (or '' or
--     'FF:FF:FF:FF:FF:FF') marks one that is not known yet.
--   * No foreign keys: rows of other routers, client id 0 ("all subscribers")
--     and half-filled rows written by the master server must all load.
--   * Text columns are wider than valid values need, so that a bad value is
--     stored as written and the programs' own checks see it, rather than a
--     silently shortened copy.

SET SESSION sql_mode = '';
SET NAMES utf8mb4;

-- ---------------------------------------------------------------------------
-- Routers. Read by name only:
--   control daemon:  select rname,id,user,password,use_verify ... where ip = ?
--   ARP monitor:     select rname,id ... where ip = ?
--   login daemon:    select id ... where user = ?   (user = its database account)
--   firewall build:  select ip ... where id = ?
-- `user` is the control-login name (compared exactly) and also the database
-- account name under which the login daemon connects. `password` is the
-- cipher text of the control-login password under the control daemon's
-- crypt_key. id 0 is refused by every daemon.
DROP TABLE IF EXISTS internet_routers;
CREATE TABLE internet_routers (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  rname       VARCHAR(64)  NOT NULL DEFAULT '',
  ip          VARCHAR(45)  NOT NULL DEFAULT '',
  `user`      VARCHAR(64)  CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL DEFAULT '',
  `password`  VARBINARY(255) NOT NULL DEFAULT '',
  use_verify  TINYINT      NOT NULL DEFAULT 0,      -- read but not used
  PRIMARY KEY (id),
  KEY idx_routers_ip (ip),
  KEY idx_routers_user (`user`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Subscribers' clients. Read by name: id, remote (the router the client
-- belongs to), mostly as "cid in (select id from internet_clients where
-- remote = ?)".
DROP TABLE IF EXISTS internet_clients;
CREATE TABLE internet_clients (
  id      INT UNSIGNED NOT NULL AUTO_INCREMENT,
  remote  INT UNSIGNED NOT NULL DEFAULT 0,           -- router id
  name    VARCHAR(128) NOT NULL DEFAULT '',          -- for people; no program reads it
  PRIMARY KEY (id),
  KEY idx_clients_remote (remote)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Address settings of clients: one row per address. Read and written by name:
--   firewall, forwarding, redirect marks: id, cid, rid, ip, mac, active
--   shaper:  select ip,realip ... where cid = ?
--   login:   b.active, b.ip joined on cid
--   ARP monitor: writes mac (finder, reader) and hostup (pinger) "where ip = ?"
-- active: 1 paid; 123 paid and marked for the notice page; anything else
-- (normally 0) unpaid, marked only. The same address on two rows is allowed
-- (the firewall build reports it), so ip is not unique.
DROP TABLE IF EXISTS internet_settings;
CREATE TABLE internet_settings (
  id      INT UNSIGNED NOT NULL AUTO_INCREMENT,
  cid     INT UNSIGNED NOT NULL DEFAULT 0,           -- internet_clients.id
  rid     INT UNSIGNED NOT NULL DEFAULT 0,           -- internet_routers.id
  ip      VARCHAR(45)  NOT NULL DEFAULT '000.000.000.000',
  realip  VARCHAR(45)  NOT NULL DEFAULT '',          -- selected by the shaper, not used
  mac     VARCHAR(32)  NOT NULL DEFAULT '0',         -- '0': not known yet
  active  INT          NOT NULL DEFAULT 0,
  hostup  TINYINT      NOT NULL DEFAULT 0,           -- 1 when the host answered the last ARP probe
  PRIMARY KEY (id),
  KEY idx_settings_cid (cid),
  KEY idx_settings_rid (rid),
  KEY idx_settings_ip (ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Internal networks of the routers. Read by name:
--   subnet classes: SELECT `net`,`host_min`,`host_max`,`rid` ... where rid <> 0
--   firewall build: select net ... where rid = ?
--   ARP monitor:    b.net, b.host_min, b.host_max, b.device (joined on the
--                   first three parts of the address)
--   login daemon:   select * ... where gw = ?   (only the row count is used)
-- net is A.B.C.D/M; host_min and host_max are the first and last host
-- address as numbers (INET_ATON form, 192.168.1.1 = 3232235777).
DROP TABLE IF EXISTS internal_net;
CREATE TABLE internal_net (
  id        INT UNSIGNED NOT NULL AUTO_INCREMENT,
  rid       INT UNSIGNED NOT NULL DEFAULT 0,         -- internet_routers.id; 0: not in use
  net       VARCHAR(64)  NOT NULL DEFAULT '',
  host_min  INT UNSIGNED NOT NULL DEFAULT 0,
  host_max  INT UNSIGNED NOT NULL DEFAULT 0,
  gw        VARCHAR(45)  NOT NULL DEFAULT '',        -- the router's address in this network
  device    VARCHAR(64)  NOT NULL DEFAULT '',        -- interface facing this network
  PRIMARY KEY (id),
  KEY idx_internal_net_rid (rid),
  KEY idx_internal_net_gw (gw)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Gate login passwords, one per settings row (sid = internet_settings.id).
-- This system only tests whether a row's password is NULL (left join on
-- a.id = b.sid): a setting with a password is opened by its gate login, not
-- by the firewall build. The rows are written by the gate's own component.
DROP TABLE IF EXISTS internet_gate_auth;
CREATE TABLE internet_gate_auth (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  sid         INT UNSIGNED NOT NULL DEFAULT 0,       -- internet_settings.id
  `password`  VARBINARY(255) NULL DEFAULT NULL,
  PRIMARY KEY (id),
  KEY idx_gate_auth_sid (sid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Gate logins. Rows are inserted by the gate's own component; this system
-- only ends them, by name:
--   firewall build: select remote_addr,id ... where logout_date='0000-00-00 00:00:00'
--                   update ... set logout_date=now() where remote_addr = ? and id = ?
--   session reaper: update ... set logout_date=now() where cid = ? and session = ?
-- A login is open while logout_date is '0000-00-00 00:00:00'.
DROP TABLE IF EXISTS internet_gate_log;
CREATE TABLE internet_gate_log (
  id           INT UNSIGNED NOT NULL AUTO_INCREMENT,
  cid          INT UNSIGNED NOT NULL DEFAULT 0,
  session      VARCHAR(64)  NOT NULL DEFAULT '',
  remote_addr  VARCHAR(45)  NOT NULL DEFAULT '',
  mac          VARCHAR(32)  NOT NULL DEFAULT '',
  login_date   DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  logout_date  DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  PRIMARY KEY (id),
  KEY idx_gate_log_open (logout_date, remote_addr),
  KEY idx_gate_log_cid_session (cid, session)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Subscriber login accounts of the login daemon. Read by name:
--   select a.cid,b.active from internet_vpn as a left join internet_settings
--     as b on a.cid=b.cid where a.user = ? and a.pass = ? and b.ip = ?
--   forwarding: SELECT a.ip,a.mac,b.pass ... left join internet_vpn as b on a.cid = b.cid
-- pass is the cipher text of the password under the login daemon's
-- crypt_key. The daemon puts its own cipher text into the query as a quoted
-- string, which ends at the cipher text's first zero byte: a password whose
-- cipher text holds a zero byte must be stored cut before that byte, or it
-- never matches. user is compared exactly (binary collation).
DROP TABLE IF EXISTS internet_vpn;
CREATE TABLE internet_vpn (
  id      INT UNSIGNED NOT NULL AUTO_INCREMENT,
  cid     INT UNSIGNED NOT NULL DEFAULT 0,           -- internet_clients.id
  `user`  VARCHAR(64)  CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL DEFAULT '',
  pass    VARBINARY(255) NULL DEFAULT NULL,
  PRIMARY KEY (id),
  KEY idx_vpn_cid (cid),
  KEY idx_vpn_user (`user`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Login daemon sessions. The login daemon inserts BY POSITION; keep this order:
--   insert into `internet_vpn_log` values(NULL,cid,'session','remote_addr',
--                                        now(),'0000-00-00 00:00:00',1,rid)
-- and reads cid, remote_addr, logout_date, rid by name ("select * ... where
-- remote_addr = ? and logout_date = '0000-00-00 00:00:00' and rid = ?",
-- "... where cid = ? and logout_date = ..."; updates set logout_date=now()).
-- A session is open while logout_date is '0000-00-00 00:00:00'.
DROP TABLE IF EXISTS internet_vpn_log;
CREATE TABLE internet_vpn_log (
  id           INT UNSIGNED NOT NULL AUTO_INCREMENT,                     -- 0: NULL
  cid          INT UNSIGNED NOT NULL DEFAULT 0,                          -- 1
  session      VARCHAR(64)  NOT NULL DEFAULT '',                         -- 2: 10 hex characters
  remote_addr  VARCHAR(45)  NOT NULL DEFAULT '',                         -- 3: peer address
  login_date   DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',      -- 4: now()
  logout_date  DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',      -- 5: zero while open
  status       TINYINT      NOT NULL DEFAULT 1,                          -- 6: always written as 1
  rid          INT UNSIGNED NOT NULL DEFAULT 0,                          -- 7: router id
  PRIMARY KEY (id),
  KEY idx_vpn_log_addr_open (remote_addr, logout_date, rid),
  KEY idx_vpn_log_cid_open (cid, logout_date),
  KEY idx_vpn_log_rid_open (rid, logout_date)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Refused subscriber logins. The login daemon inserts BY POSITION; keep this order:
--   insert into `internet_vpn_auth_failures`
--     values(NULL,'user line','password line','session','remote_addr',now(),now(),reason)
-- The user and password lines are stored as received from the peer (still in
-- the digit encoding, but a peer may send any bytes, up to a 64 KiB line), so
-- they are binary. reason: 0 no single account matched, 2 unknown gateway.
-- Nothing in the system reads these rows.
DROP TABLE IF EXISTS internet_vpn_auth_failures;
CREATE TABLE internet_vpn_auth_failures (
  id           INT UNSIGNED NOT NULL AUTO_INCREMENT,                     -- 0: NULL
  user_line    MEDIUMBLOB   NULL,                                        -- 1
  pass_line    MEDIUMBLOB   NULL,                                        -- 2
  session      VARCHAR(64)  NOT NULL DEFAULT '',                         -- 3
  remote_addr  VARCHAR(45)  NOT NULL DEFAULT '',                         -- 4
  first_date   DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',      -- 5: now()
  last_date    DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',      -- 6: now()
  reason       TINYINT      NOT NULL DEFAULT 0,                          -- 7
  PRIMARY KEY (id),
  KEY idx_vpn_auth_failures_addr (remote_addr)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Messages shown to subscribers after login. The login daemon filters by name
--   select * from internet_vpn_messages where start_date < now() and
--     stop_date > now() and notify != 0 and (cid = ? or cid = '0')
-- and sends the THIRD column (index 2) of the first row: keep message there.
-- cid 0: for every subscriber.
DROP TABLE IF EXISTS internet_vpn_messages;
CREATE TABLE internet_vpn_messages (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,                      -- 0
  cid         INT UNSIGNED NOT NULL DEFAULT 0,                           -- 1
  message     VARCHAR(1024) NOT NULL DEFAULT '',                         -- 2: sent as "226 %s"
  start_date  DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  stop_date   DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  notify      TINYINT      NOT NULL DEFAULT 1,                           -- 0: do not send
  PRIMARY KEY (id),
  KEY idx_vpn_messages_cid (cid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Notice links shown to subscribers after login. Same query and the same rule
-- as internet_vpn_messages: the THIRD column (index 2) is sent, as "230 %s".
DROP TABLE IF EXISTS internet_vpn_url_messages;
CREATE TABLE internet_vpn_url_messages (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,                      -- 0
  cid         INT UNSIGNED NOT NULL DEFAULT 0,                           -- 1
  url         VARCHAR(1024) NOT NULL DEFAULT '',                         -- 2: sent as "230 %s"
  start_date  DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  stop_date   DATETIME     NOT NULL DEFAULT '0000-00-00 00:00:00',
  notify      TINYINT      NOT NULL DEFAULT 1,                           -- 0: do not send
  PRIMARY KEY (id),
  KEY idx_vpn_url_messages_cid (cid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Network devices of the routers, for traffic shaping. Read by name by the
-- shaper, always "where rid = ? [and active=1] order by id":
--   device, fw_metro, fw_extern, bandwidth_metro, bandwidth_extern, `in`
-- fw_metro / fw_extern: netfilter marks of metro and extern traffic
-- (0: no shaping of that kind). bandwidth_*: rate text as tc reads it, e.g.
-- 100Mbit. `in`: non-zero for a device whose outgoing traffic goes to the
-- clients (matched by destination), 0 for one whose outgoing traffic comes
-- from them (matched by source).
DROP TABLE IF EXISTS routers_devices;
CREATE TABLE routers_devices (
  id                INT UNSIGNED NOT NULL AUTO_INCREMENT,
  rid               INT UNSIGNED NOT NULL DEFAULT 0,
  device            VARCHAR(64)  NOT NULL DEFAULT '',
  fw_metro          INT UNSIGNED NOT NULL DEFAULT 0,
  fw_extern         INT UNSIGNED NOT NULL DEFAULT 0,
  bandwidth_metro   VARCHAR(32)  NOT NULL DEFAULT '',
  bandwidth_extern  VARCHAR(32)  NOT NULL DEFAULT '',
  `in`              TINYINT      NOT NULL DEFAULT 1,
  active            TINYINT      NOT NULL DEFAULT 1,
  PRIMARY KEY (id),
  KEY idx_routers_devices_rid (rid, active)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ---------------------------------------------------------------------------
-- Per-client rates and class numbers. The shaper reads "select *" BY
-- POSITION (column index in the comments); keep this order, add columns only
-- at the end. Rates in kbit/s. "in" columns apply on devices with `in`
-- non-zero, "out" columns on devices with `in` 0. Class numbers 1 to 9979;
-- the metro and extern numbers must be distinct across all clients of one
-- router (class minor = number + 20, written after "1:0x"). A client may
-- have several rows; the single-client updates use the first.
DROP TABLE IF EXISTS internet_restrictions;
CREATE TABLE internet_restrictions (
  id                 INT UNSIGNED NOT NULL AUTO_INCREMENT,               -- 0: not read
  cid                INT UNSIGNED NOT NULL DEFAULT 0,                    -- 1: internet_clients.id
  in_metro_rate      INT UNSIGNED NOT NULL DEFAULT 0,                    -- 2
  in_metro_ceil      INT UNSIGNED NOT NULL DEFAULT 0,                    -- 3
  in_extern_rate     INT UNSIGNED NOT NULL DEFAULT 0,                    -- 4
  in_extern_ceil     INT UNSIGNED NOT NULL DEFAULT 0,                    -- 5
  out_metro_rate     INT UNSIGNED NOT NULL DEFAULT 0,                    -- 6
  out_metro_ceil     INT UNSIGNED NOT NULL DEFAULT 0,                    -- 7
  out_extern_rate    INT UNSIGNED NOT NULL DEFAULT 0,                    -- 8
  out_extern_ceil    INT UNSIGNED NOT NULL DEFAULT 0,                    -- 9
  metro_class        INT UNSIGNED NOT NULL DEFAULT 0,                    -- 10
  extern_class       INT UNSIGNED NOT NULL DEFAULT 0,                    -- 11
  PRIMARY KEY (id),
  KEY idx_restrictions_cid (cid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
