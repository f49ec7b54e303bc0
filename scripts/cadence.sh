#!/usr/bin/env bash
# What hestled costs at its real cadence: runs `hestled --speed 1` (one pass
# every ten seconds, simulated Mac holding at its 80% limit) for SECONDS on
# tmpfs and on disk, and prints CPU time per pass and wakeups per minute,
# counted from the second pass on (start-up excluded):
#   CPU: the first field of /proc/PID/schedstat (nanoseconds on a CPU);
#   wakeups: voluntary + involuntary context switches in /proc/PID/status
#   (the involuntary ones are preemptions, which depend on the machine's load).
# Usage: scripts/cadence.sh [SECONDS] (default 150); HESTLED=path overrides
# the binary (default build/default/hestled, built if missing); WHERE="disk"
# measures only one of the two.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_RUN=${1:-150}
HESTLED=${HESTLED:-build/default/hestled}
[ -x "$HESTLED" ] || cmake --build build/default --target hestled >/dev/null
CONFIG='{"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,"calibrationIntervalDays":30,"lastCalibrationTimestamp":0}'
MACHINE='{"firmware": "tahoe", "battery": {"percent": 80, "capacityMah": 5000, "pluggedIn": true, "chargePerHour": 0, "drainPerHour": 0}}'

cpu_ns() { awk '{print $1}' "/proc/$1/schedstat"; }
switches() { awk -v k="$2_ctxt_switches:" '$1 == k {print $2}' "/proc/$1/status"; }

SHM=/dev/shm
[ -d "$SHM" ] || SHM=/tmp
mkdir -p build
for where in ${WHERE:-tmpfs disk}; do
  base=$SHM
  [ "$where" = disk ] && base=$PWD/build
  dir=$(mktemp -d "$base/hestle-cadence-XXXXXX")
  mkdir "$dir/data"
  echo "$CONFIG" >"$dir/data/config.json"
  echo "$MACHINE" >"$dir/machine.json"
  "$HESTLED" --data-dir "$dir/data" --machine "$dir/machine.json" --speed 1 2>/dev/null &
  pid=$!
  # The first status marks the end of start-up and the first pass.
  until [ -s "$dir/data/status.json" ]; do sleep 0.05; done
  first=$(stat -c %Y "$dir/data/status.json")
  # Wait for the second pass to begin counting at a pass boundary.
  while [ "$(stat -c %Y "$dir/data/status.json")" = "$first" ]; do sleep 0.05; done
  cpu0=$(cpu_ns "$pid"); v0=$(switches "$pid" voluntary); i0=$(switches "$pid" nonvoluntary); t0=$(date +%s.%N)
  mark=$(stat -c %Y "$dir/data/status.json"); n=0
  end=$(( $(date +%s) + SECONDS_RUN ))
  while [ "$(date +%s)" -lt "$end" ]; do
    sleep 0.05
    now=$(stat -c %Y "$dir/data/status.json")
    if [ "$now" != "$mark" ]; then n=$((n + 1)); mark=$now; fi
  done
  # Stop just after a pass, so that CPU and passes cover the same span.
  while [ "$(stat -c %Y "$dir/data/status.json")" = "$mark" ]; do sleep 0.05; done
  n=$((n + 1))
  sleep 0.2
  cpu1=$(cpu_ns "$pid"); v1=$(switches "$pid" voluntary); i1=$(switches "$pid" nonvoluntary); t1=$(date +%s.%N)
  kill -TERM "$pid"; wait "$pid" || true
  rm -rf "$dir"
  awk -v w="$where" -v n="$n" -v c="$((cpu1 - cpu0))" -v v="$((v1 - v0))" -v i="$((i1 - i0))" \
    -v t0="$t0" -v t1="$t1" 'BEGIN {
    m = (t1 - t0) / 60
    printf "%s: %d passes in %.1f s: CPU %.0f us per pass, %.1f wakeups per minute (%.1f voluntary + %.1f preempted)\n",
      w, n, t1 - t0, c / n / 1000, (v + i) / m, v / m, i / m }'
done
