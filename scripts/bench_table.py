#!/usr/bin/env python3
"""Prints the performance table from the results that scripts/bench.sh left."""
import collections
import json
import re
import sys

OUT = sys.argv[1]
TRACE_PASSES = int(sys.argv[2])
STATES = ["R1_limitOff", "R1_noConfig", "R1_malformedConfig", "R5_atLimit", "R4_aboveLimit", "CalibrationHolding"]


def medians(path):
    """run name -> (cpu µs, real µs, allocs/pass), medians of the repetitions."""
    result = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
        result[b["run_name"]] = (b["cpu_time"] * scale, b["real_time"] * scale, b.get("allocs/pass", 0.0))
    return result


def strace_counts(path):
    """syscall -> calls, from a strace -c summary."""
    counts = {}
    for line in open(path):
        parts = line.split()
        if len(parts) < 5 or not parts[3].isdigit() or parts[-1] == "total":
            continue
        counts[parts[-1]] = int(parts[3])
    return counts


def per_pass_syscalls(state):
    base = strace_counts(f"{OUT}/strace-{state}-0.txt")
    run = strace_counts(f"{OUT}/strace-{state}-{TRACE_PASSES}.txt")
    diff = {k: (run.get(k, 0) - base.get(k, 0)) / TRACE_PASSES for k in set(run) | set(base)}
    return {k: v for k, v in diff.items() if abs(v) >= 0.005}


def format_calls(calls):
    return ", ".join(f"{k} {v:g}" for k, v in sorted(calls.items(), key=lambda kv: (-kv[1], kv[0])))


def trace_region(path):
    """Calls per pass of hestled between its first and last complete pass,
    and the mean duration of each call (µs)."""
    lines = open(path).read().splitlines()
    first = next(i for i, l in enumerate(lines) if "config.json" in l)
    stop = next((i for i, l in enumerate(lines) if l.startswith("--- SIGTERM")), len(lines))
    last = max(i for i in range(first, stop) if lines[i].startswith("rename(") and "status.json\"" in lines[i])
    calls = collections.Counter()
    seconds = collections.Counter()
    for line in lines[first:last + 1]:
        m = re.match(r"(\w+)\(.*<([0-9.]+)>$", line)
        if m:
            calls[m.group(1)] += 1
            seconds[m.group(1)] += float(m.group(2))
    passes = sum(1 for l in lines[first:last + 1] if l.startswith("rename(") and "status.json\"" in l)
    return passes, calls, seconds


tmpfs = medians(f"{OUT}/passes-tmpfs.json")
disk = medians(f"{OUT}/passes-disk.json")
rows = []
rows.append("| state | pass (tmpfs) | floor (tmpfs) | ratio | pass (disk) | floor (disk) | ratio | "
            "allocations: daemon + simulated Mac | syscalls per pass |")
rows.append("|---|---|---|---|---|---|---|---|---|")
for state in STATES:
    p, f = tmpfs.get(f"Pass/{state}"), tmpfs.get(f"Floor/{state}")
    pd, fd = disk.get(f"Pass/{state}"), disk.get(f"Floor/{state}")
    if not (p and f and pd and fd):
        rows.append(f"| {state} | missing | | | | | | | |")
        continue
    calls = per_pass_syscalls(state)
    rows.append(
        f"| {state} | {p[0]:.1f} µs | {f[0]:.1f} µs | {p[0] / f[0]:.2f} | {pd[1]:.1f} µs | {fd[1]:.1f} µs | "
        f"{pd[1] / fd[1]:.2f} | {p[2] - f[2]:.1f} + {f[2]:.1f} | {sum(calls.values()):g}: {format_calls(calls)} |")

rss = json.load(open(f"{OUT}/rss.json"))
out = ["Time: median CPU time per pass on tmpfs, median wall time on disk (ext4); floor: the same unavoidable",
       "system calls and IOKit exchanges back to back. Allocations: operator new calls per pass; the simulated",
       "Mac's share is what the floor's registry lookup allocates.", ""]
out += rows
out += ["",
        f"hestled peak RSS (VmHWM): {rss['hwm10k']} KiB after {rss['passes10k']} passes, "
        f"{rss['hwm20k']} KiB after {rss['passes20k']} passes "
        f"(VmRSS {rss['rss10k']} -> {rss['rss20k']} KiB); exit status after SIGTERM {rss['exit']}. "
        f"In-process driver (benchmark binary): VmHWM {rss['inProcess10k']} KiB after 10,000 passes, "
        f"{rss['inProcess100k']} KiB after 100,000."]
for where in ("tmpfs", "disk"):
    passes, calls, seconds = trace_region(f"{OUT}/hestled-{where}.trace")
    listing = ", ".join(f"{k} {calls[k] / passes:g} ({seconds[k] / calls[k] * 1e6:.0f} µs)"
                        for k in sorted(calls, key=lambda k: (-calls[k], k)))
    out.append(f"hestled under strace on {where}, {passes} passes, calls per pass (mean duration): {listing}.")
text = "\n".join(out)
print(text)
open(f"{OUT}/table.md", "w").write(text + "\n")
