#!/usr/bin/env bash
# Measures what the daemon costs: builds the bench preset (release), runs the
# pass and floor benchmarks on tmpfs and on disk, the peak RSS of hestled over
# 10,000 and 20,000 passes, the system calls per pass, and prints the table.
# Results are kept in build/bench/results.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
REPS=${REPS:-5}
OUT=build/bench/results
TRACE_PASSES=1000

if ! command -v strace >/dev/null; then
  echo "bench.sh: strace is missing (apt-get install strace)" >&2
  exit 1
fi

cmake --preset bench >/dev/null
cmake --build --preset bench -j"$JOBS"
rm -rf "$OUT"
mkdir -p "$OUT"

BENCH=build/bench/bench/control_loop_bench
HESTLED=build/bench/hestled

# ---- Time and allocations per pass, tmpfs and disk ---------------------------
DISK_DIR=$(mktemp -d "$PWD/build/bench/disk-XXXXXX")
trap 'rm -rf "$DISK_DIR"' EXIT
SHM=/dev/shm
[ -d "$SHM" ] || SHM=/tmp
for where in tmpfs disk; do
  dir=$SHM
  [ "$where" = disk ] && dir=$DISK_DIR
  echo "== passes and floors on $where ($dir)" >&2
  HESTLE_BENCH_DIR=$dir "$BENCH" --benchmark_repetitions="$REPS" \
    --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
    --benchmark_out="$OUT/passes-$where.json" --benchmark_out_format=json >&2
done

# ---- System calls per pass, state by state -----------------------------------
# Each state's passes run in-process twice under strace -c, with 0 and with
# TRACE_PASSES passes; the difference is what the passes made.
STATES="R1_limitOff R1_noConfig R1_malformedConfig R5_atLimit R4_aboveLimit CalibrationHolding"
for state in $STATES; do
  for n in 0 "$TRACE_PASSES"; do
    HESTLE_BENCH_DIR=$SHM strace -c -o "$OUT/strace-$state-$n.txt" \
      "$BENCH" --state="$state" --passes="$n" >/dev/null
  done
done

# In-process growth check over many more passes than hestled makes in real
# time (its simulated wait costs a millisecond): VmHWM after 10,000 and 100,000.
INPROC_10K=$(HESTLE_BENCH_DIR=$SHM "$BENCH" --state=R5_atLimit --passes=10000)
INPROC_100K=$(HESTLE_BENCH_DIR=$SHM "$BENCH" --state=R5_atLimit --passes=100000)

# ---- hestled as a process: peak RSS and one full trace -----------------------
MACHINE=$OUT/machine.json
echo '{"firmware": "tahoe", "start": "2026-12-04T20:53:30Z", "battery": {"percent": 80, "capacityMah": 5000, "pluggedIn": true}}' >"$MACHINE"
START=1796417610
CONFIG='{"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,"calibrationIntervalDays":30,"lastCalibrationTimestamp":0}'

# Passes made so far, from status.json (one pass per ten virtual seconds).
passes_done() {
  python3 - "$1/status.json" "$START" <<'EOF' 2>/dev/null || echo 0
import json, sys
s = json.load(open(sys.argv[1]))
print(int(round((s["lastUpdate"] - float(sys.argv[2])) / 10)) + 1 if s["daemonRunning"] else 0)
EOF
}

wait_passes() {  # dir count pid
  while [ "$(passes_done "$1")" -lt "$2" ]; do
    kill -0 "$3" 2>/dev/null || { echo "bench.sh: hestled ended early" >&2; exit 1; }
    sleep 0.02
  done
}

vm() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

RSS_DIR=$(mktemp -d "$SHM/hestle-rss-XXXXXX")
echo "$CONFIG" >"$RSS_DIR/config.json"
"$HESTLED" --data-dir "$RSS_DIR" --machine "$MACHINE" --speed 1e9 2>/dev/null &
PID=$!
wait_passes "$RSS_DIR" 10000 "$PID"
HWM_10K=$(vm "$PID" VmHWM); RSS_10K=$(vm "$PID" VmRSS); PASSES_10K=$(passes_done "$RSS_DIR")
wait_passes "$RSS_DIR" 20000 "$PID"
HWM_20K=$(vm "$PID" VmHWM); RSS_20K=$(vm "$PID" VmRSS); PASSES_20K=$(passes_done "$RSS_DIR")
kill -TERM "$PID"
RC=0; wait "$PID" || RC=$?
FINAL=$(cat "$RSS_DIR/status.json")
rm -rf "$RSS_DIR"
cat >"$OUT/rss.json" <<EOF
{"hwm10k": $HWM_10K, "rss10k": $RSS_10K, "passes10k": $PASSES_10K,
 "hwm20k": $HWM_20K, "rss20k": $RSS_20K, "passes20k": $PASSES_20K, "exit": $RC,
 "inProcess10k": $INPROC_10K, "inProcess100k": $INPROC_100K}
EOF
echo "$FINAL" >"$OUT/final-status.json"

# The whole process under strace, on tmpfs and on disk: every call of
# $TRACE_PASSES passes, waits included, with the time spent in each.
for where in tmpfs disk; do
  base=$SHM
  [ "$where" = disk ] && base=$DISK_DIR
  TRACE_DIR=$(mktemp -d "$base/hestle-trace-XXXXXX")
  echo "$CONFIG" >"$TRACE_DIR/config.json"
  strace -T -o "$OUT/hestled-$where.trace" "$HESTLED" --data-dir "$TRACE_DIR" --machine "$MACHINE" \
    --speed 1e9 2>/dev/null &
  TRACER=$!
  until [ -s "$TRACE_DIR/daemon.log" ]; do sleep 0.05; done
  DAEMON=$(sed -n 's/.*PID: \([0-9]*\),.*/\1/p' "$TRACE_DIR/daemon.log" | head -1)
  wait_passes "$TRACE_DIR" $((TRACE_PASSES + 5)) "$DAEMON"
  kill -TERM "$DAEMON"
  wait "$TRACER" || true
  rm -rf "$TRACE_DIR"
done

python3 scripts/bench_table.py "$OUT" "$TRACE_PASSES"
