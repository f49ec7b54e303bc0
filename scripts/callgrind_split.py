#!/usr/bin/env python3
"""Splits a callgrind profile (--compress-strings=no) into the daemon's own
instructions and the simulated Mac's.

Usage: callgrind_split.py CALLGRIND_OUT ITERATIONS
Prints one JSON object: per iteration, "total", "mac" (the simulated Mac and
everything it calls), "daemon" (the rest: the daemon's code and the C and C++
library code it calls), "daemonSource" (of which in the daemon's own source
files) and "byDirectory" (self cost of those files, by directory).

A function belongs to the file it is defined in. The Mac's share is the
inclusive cost of every call from the daemon's files into sim/, minus that of
every call from sim/ back into them (the callbacks its run loop makes): these
alternate, so nesting is counted once. The library code that either calls
is counted with its caller.
"""
import json
import re
import sys

DAEMON = re.compile(r"/(daemon|smc|battery|store|state|util|bench)/[^/]+$")
SIM = re.compile(r"/sim/")


def kind(path):
    if path.startswith("/usr/"):
        return "lib"
    if SIM.search(path):
        return "sim"
    return "daemon" if DAEMON.search(path) else "lib"


def main():
    path, iterations = sys.argv[1], int(sys.argv[2])
    total = 0
    into_sim = 0
    out_of_sim = 0
    by_dir = {}
    fl = fn_file = callee_file = ""
    pending_call = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("fl="):
                fl = fn_file = line[3:].strip()
            elif line.startswith(("fi=", "fe=")):
                pass  # inlined code belongs to the function it is in
            elif line.startswith("fn="):
                fn_file = fl
            elif line.startswith(("cfl=", "cfi=")):
                callee_file = line[4:].strip()
            elif line.startswith("cfn="):
                if not callee_file:
                    callee_file = fn_file
            elif line.startswith("calls="):
                pending_call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    caller, callee = kind(fn_file), kind(callee_file)
                    if caller == "daemon" and callee == "sim":
                        into_sim += cost
                    elif caller == "sim" and callee == "daemon":
                        out_of_sim += cost

                    pending_call = False
                    callee_file = ""
                elif kind(fn_file) == "daemon":
                    d = DAEMON.search(fn_file).group(1)
                    by_dir[d] = by_dir.get(d, 0) + cost
    mac = into_sim - out_of_sim
    daemon = total - mac
    per = lambda v: round(v / iterations)
    print(json.dumps({
        "total": per(total), "mac": per(mac), "daemon": per(daemon),
        "daemonSource": per(sum(by_dir.values())),
        "byDirectory": {k: per(v) for k, v in sorted(by_dir.items())},
    }))


if __name__ == "__main__":
    main()
