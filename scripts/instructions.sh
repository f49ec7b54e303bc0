#!/usr/bin/env bash
# The daemon's own cost in instructions, state by state: runs
# bench/pass_instructions under callgrind (collecting measuredPasses() only)
# and splits the count per loop iteration (a pass and the wait after it; for
# sleepWake a whole sleep, wake and pass) into the simulated Mac's share and
# the daemon's, the C and C++ library code each calls counted with it
# (scripts/callgrind_split.py). Instruction counts do not depend on the load.
# Usage: scripts/instructions.sh [STATE...]; needs valgrind. Uses the default
# preset's build (g++, RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
  echo "instructions.sh: valgrind is missing (apt-get install valgrind)" >&2
  exit 1
fi
STATES=${*:-limitOff noConfig malformedConfig atLimit aboveLimit calibrationHold adapterOnlyAtLimit sleepWake}
[ -d build/default ] || cmake --preset default >/dev/null
cmake --build build/default --target pass_instructions >/dev/null
OUT=$(mktemp -d "${TMPDIR:-/tmp}/hestle-instructions-XXXXXX")
trap 'rm -rf "$OUT"' EXIT

printf '%-20s %9s %9s %9s %9s  %s\n' state total mac daemon "own files" "own files by directory"
for state in $STATES; do
  n=300
  [ "$state" = sleepWake ] && n=30
  valgrind --tool=callgrind --callgrind-out-file="$OUT/$state.out" --toggle-collect='measuredPasses*' \
    --compress-strings=no --compress-pos=no build/default/bench/pass_instructions "$state" "$n" 2>"$OUT/$state.log" ||
    { cat "$OUT/$state.log" >&2; exit 1; }
  python3 scripts/callgrind_split.py "$OUT/$state.out" "$n" | python3 -c '
import json, sys
r = json.load(sys.stdin)
dirs = " ".join(f"{k} {v}" for k, v in r["byDirectory"].items() if v)
print(f"%-20s %9d %9d %9d %9d  %s" % (sys.argv[1], r["total"], r["mac"], r["daemon"], r["daemonSource"], dirs))' "$state"
done
