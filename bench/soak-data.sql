-- The soak's additions to db/demo.sql: three more subscribers with login
-- accounts (bob, carol, dave; password "abcdefgh" like alice's) on hosts of
-- their own, and two more gate clients.
SET SESSION sql_mode = '';

INSERT INTO internet_clients (id, remote, name) VALUES
  (7, 1, 'subscriber bob'),
  (8, 1, 'subscriber carol'),
  (9, 1, 'subscriber dave'),
  (10, 1, 'gate login client two'),
  (11, 1, 'gate login client three');

INSERT INTO internet_settings (id, cid, rid, ip, realip, mac, active, hostup) VALUES
  (8,   7, 1, '10.1.2.13', '', '02:00:00:00:02:0d', 1, 0),
  (9,   8, 1, '10.1.2.14', '', '02:00:00:00:02:0e', 1, 0),
  (10,  9, 1, '10.1.2.15', '', '02:00:00:00:02:0f', 1, 0),
  (11, 10, 1, '10.1.2.31', '', '02:00:00:00:02:1f', 1, 0),
  (12, 11, 1, '10.1.2.32', '', '02:00:00:00:02:20', 1, 0);

INSERT INTO internet_gate_auth (id, sid, `password`) VALUES
  (2, 11, UNHEX('48730e77e7766655')),
  (3, 12, UNHEX('48730e77e7766655'));

INSERT INTO internet_vpn (id, cid, `user`, pass) VALUES
  (2, 7, 'bob',   UNHEX('6592a29ddd2f0b6f')),
  (3, 8, 'carol', UNHEX('6592a29ddd2f0b6f')),
  (4, 9, 'dave',  UNHEX('6592a29ddd2f0b6f'));

INSERT INTO internet_restrictions VALUES
  (4, 7, 1024, 2048, 512, 1024, 512, 1024, 256, 512, 7, 8),
  (5, 8, 1024, 2048, 512, 1024, 512, 1024, 256, 512, 9, 10),
  (6, 9, 1024, 2048, 512, 1024, 512, 1024, 256, 512, 11, 12);
