#!/usr/bin/env python3
"""The soak's verdict: first-window against last-window means of every sampled
measure, the operations done and the errors seen. Exit status 1 on FAIL.

  soak-summary.py SAMPLES.csv OPERATIONS ERRORS MINUTES

OPERATIONS holds "name count" lines, ERRORS one line per unexpected event.
The windows are five minutes long (a third of the run when it is shorter than
15 minutes); the first starts with the first sample after the churn began.
A measure FAILs when last mean > first mean + max(10% of first mean, slack).
"""
import csv
import sys

# Absolute slack per measure suffix: what one sample may differ by without a leak.
SLACK = {"procs": 1, "fds": 3, "rss_kb": 1024, "pss_kb": 1024}
# Measures that follow the churn (how many subscribers are logged in at the
# moment of the sample), with a slack that covers that churn.
STATE_SLACK = {"db_threads_own": 2, "set_entries": 8, "rules": 8, "tc_classes": 4}
# Operations that a run of any length must have done at least once.
REQUIRED = ["logins", "logouts", "activations", "deactivations", "gate logins", "gate expiries", "verify runs"]


def mean(values):
    return sum(values) / len(values) if values else float("nan")


def load(path):
    with open(path) as f:
        rows = [{k: float(v) if v else 0.0 for k, v in row.items()} for row in csv.DictReader(f)]
    for row in rows:
        # The server's connections beyond the per-connection processes' own.
        row["db_threads_own"] = row["db_threads"] - row["auth_children_procs"] - row["router_children_procs"]
    return rows


def per_child(rows, group, measure):
    return [r[f"{group}_{measure}"] / r[f"{group}_procs"] for r in rows if r[f"{group}_procs"] > 0]


def judged(rows):
    """(name, values of the first window, values of the last window, slack) for every judged measure."""
    first, last = rows
    out = []
    for col in first[0].keys() if first else []:
        if col == "time_s" or col == "db_threads":
            continue
        if col in STATE_SLACK:
            out.append((col, [r[col] for r in first], [r[col] for r in last], STATE_SLACK[col]))
            continue
        group, measure = next((col[: -len(s) - 1], s) for s in SLACK if col.endswith("_" + s))
        if group.endswith("_children"):
            if measure == "procs":
                out.append((col, [r[col] for r in first], [r[col] for r in last], 2))
            else:
                out.append((f"{group}_{measure} per process", per_child(first, group, measure),
                            per_child(last, group, measure), SLACK[measure]))
        else:
            out.append((col, [r[col] for r in first], [r[col] for r in last], SLACK[measure]))
    return out


def main():
    samples, operations, errors, minutes = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
    rows = load(samples)
    window = min(300.0, minutes * 60 / 3)
    start = next((r["time_s"] for r in rows if r["time_s"] > 0), 0.0)
    end = rows[-1]["time_s"] if rows else 0.0
    first = [r for r in rows if start <= r["time_s"] < start + window]
    last = [r for r in rows if r["time_s"] > end - window]
    failed = []
    print(f"Samples: {len(rows)} over {end:.0f} s; windows of {window:.0f} s: "
          f"first {len(first)} samples from {start:.0f} s, last {len(last)} samples after {end - window:.0f} s")
    print("Rule: FAIL when last mean > first mean + max(10% of first mean, slack)")
    print()
    print(f"| {'measure':<40} | {'first':>10} | {'last':>10} | {'allowed':>10} | verdict |")
    print(f"|{'-' * 42}|{'-' * 12}|{'-' * 12}|{'-' * 12}|---------|")
    if not first or not last:
        failed.append("too few samples")
    for name, a, b, slack in judged((first, last)) if first and last else []:
        if not a and not b:
            continue
        ma, mb = mean(a), mean(b)
        if not a or not b:
            verdict = "n/a"
            allowed = float("nan")
        else:
            allowed = ma + max(0.10 * ma, slack)
            verdict = "ok" if mb <= allowed else "FAIL"
        if verdict == "FAIL":
            failed.append(f"{name} grew from {ma:.1f} to {mb:.1f} (allowed {allowed:.1f})")
        print(f"| {name:<40} | {ma:>10.1f} | {mb:>10.1f} | {allowed:>10.1f} | {verdict:<7} |")
    for col in ("db_threads",) + tuple(c for c in (rows[0].keys() if rows else []) if c.startswith(("auth_children", "router_children")) and not c.endswith("procs")):
        print(f"| {col + ' (follows churn)':<40} | {mean([r[col] for r in first]):>10.1f} | "
              f"{mean([r[col] for r in last]):>10.1f} | {'':>10} |         |")
    print()

    counts = {}
    with open(operations) as f:
        for line in f:
            name, _, value = line.rstrip("\n").rpartition(" ")
            if name:
                counts[name] = int(value)
    print("Operations: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    for name in REQUIRED:
        if counts.get(name, 0) == 0:
            failed.append(f"no {name} done")
    with open(errors) as f:
        seen = [line.rstrip("\n") for line in f if line.strip()]
    print(f"Errors seen: {len(seen)}")
    for line in seen[:30]:
        print("  " + line)
    if seen:
        failed.append(f"{len(seen)} operations failed unexpectedly")
    print()
    if failed:
        print("FAIL: " + "; ".join(failed))
        return 1
    print("PASS: no measure grew beyond noise, no operation failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
