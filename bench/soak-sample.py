#!/usr/bin/env python3
"""One sample of the soak: per daemon of this network namespace the number of
processes, open descriptors, RSS and PSS (listener and children apart), the
database server's connections and the router's kernel state counts.

  soak-sample.py --header            the CSV header line
  soak-sample.py SECONDS DB_SOCKET   one CSV line, SECONDS is its time stamp
"""
import os
import subprocess
import sys

# Daemons whose listening process forks a process per connection.
FORKING = ["zarn-router", "zarn-auth"]
# Daemons whose processes are summed as one group.
GROUPED = {"macwatch": "macwatch", "reaper": "session-reaper"}
MEASURES = ["procs", "fds", "rss_kb", "pss_kb"]


def groups():
    names = []
    for daemon in FORKING:
        short = daemon.replace("zarn-", "")
        names += [f"{short}_listener", f"{short}_children"]
    return names + list(GROUPED)


def header():
    cols = ["time_s"]
    for g in groups():
        cols += [f"{g}_{m}" for m in MEASURES]
    return ",".join(cols + ["db_threads", "set_entries", "rules", "tc_classes"])


def link(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


def our_processes():
    """pid -> (program, parent pid) for the programs of /zarn/bin in this namespace."""
    own_net, own_mnt = link("/proc/self/ns/net"), link("/proc/self/ns/mnt")
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        base = f"/proc/{entry}"
        exe = link(f"{base}/exe")
        if not exe or not exe.startswith("/zarn/bin/"):
            continue
        if link(f"{base}/ns/net") != own_net or link(f"{base}/ns/mnt") != own_mnt:
            continue
        try:
            with open(f"{base}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] == "Z":
            continue
        found[int(entry)] = (exe[len("/zarn/bin/"):], int(fields[1]))
    return found


def measure(pid):
    """[1, descriptors, RSS kB, PSS kB] of a process; None once it has gone."""
    try:
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        rss = pss = 0
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Rss:"):
                    rss = int(line.split()[1])
                elif line.startswith("Pss:"):
                    pss = int(line.split()[1])
        return [1, fds, rss, pss]
    except (OSError, ValueError):
        return None


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def db_threads(socket):
    out = command_output(["mariadb", "--no-defaults", f"--socket={socket}", "-uroot", "-N", "-B",
                          "-e", "show status like 'Threads_connected'"]).split()
    return out[1] if len(out) == 2 else ""


def kernel_counts():
    sets = sum(int(line.split(":")[1]) for line in command_output(["ipset", "list", "-t"]).splitlines()
               if line.startswith("Number of entries:"))
    rules = sum(1 for line in command_output(["iptables-legacy-save"]).splitlines() if line.startswith("-A "))
    classes = sum(len(command_output(["tc", "class", "show", "dev", dev]).splitlines()) for dev in ("lan0", "lan1"))
    return [sets, rules, classes]


def sample(seconds, socket):
    procs = our_processes()
    sums = {g: [0] * len(MEASURES) for g in groups()}
    for pid, (program, parent) in procs.items():
        if program in FORKING:
            short = program.replace("zarn-", "")
            child = procs.get(parent, ("", 0))[0] == program
            group = f"{short}_children" if child else f"{short}_listener"
        else:
            group = next((g for g, p in GROUPED.items() if p == program), None)
            if group is None:
                continue
        figures = measure(pid)
        if figures:
            sums[group] = [a + b for a, b in zip(sums[group], figures)]
    row = [seconds]
    for g in groups():
        row += sums[g]
    row += [db_threads(socket)] + kernel_counts()
    return ",".join(str(v) for v in row)


if __name__ == "__main__":
    if sys.argv[1:] == ["--header"]:
        print(header())
    elif len(sys.argv) == 3:
        print(sample(sys.argv[1], sys.argv[2]), flush=True)
    else:
        sys.exit(__doc__)
