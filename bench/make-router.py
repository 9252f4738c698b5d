#!/usr/bin/env python3
"""SQL for a benchmark router: router 1 with NETWORKS /24 networks and CLIENTS
paid clients spread over them; every tenth client is also marked (active 123)."""
import sys

clients, networks = int(sys.argv[1]), int(sys.argv[2])
per_net = -(-clients // networks)
if per_net > 250:
    sys.exit("too many clients for the networks")
print("INSERT INTO internet_routers (id, rname, ip) VALUES (1, 'bench', '10.10.0.1');")
nets = ",".join(
    f"(1, '10.10.{n}.0/24', INET_ATON('10.10.{n}.1'), INET_ATON('10.10.{n}.254'))" for n in range(networks))
print(f"INSERT INTO internal_net (rid, net, host_min, host_max) VALUES {nets};")
rows_c, rows_s = [], []
for i in range(clients):
    cid = i + 1
    net, host = i % networks, i // networks + 2
    active = 123 if i % 10 == 0 else 1
    rows_c.append(f"({cid},1)")
    rows_s.append(f"({cid},{cid},1,'10.10.{net}.{host}','02:10:{net >> 8:02X}:{net & 255:02X}:{host >> 8:02X}:{host & 255:02X}',{active})")
for start in range(0, clients, 1000):
    print("INSERT INTO internet_clients (id, remote) VALUES " + ",".join(rows_c[start:start + 1000]) + ";")
    print("INSERT INTO internet_settings (id, cid, rid, ip, mac, active) VALUES " + ",".join(rows_s[start:start + 1000]) + ";")
