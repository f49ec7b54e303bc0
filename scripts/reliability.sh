#!/usr/bin/env bash
# The long reliability runs: the long size of each reliability driver (a soak
# of a million passes, a storm of a thousand stop signals, a simulated day per
# case of the hardware matrix, the hostile data directory, the oversized
# settings files, concurrent readers), then a long libFuzzer run of both
# targets. CI runs the same drivers at their short size.
# Usage: scripts/reliability.sh [FUZZ_SECONDS_PER_TARGET]   (default 600)
# Prints the figures the README's "Reliability" section quotes, and exits 1
# naming every run that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
fuzz_seconds="${1:-600}"
cmake --preset default >/dev/null
cmake --build --preset default -j2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target config_decode_fuzz config_pass_fuzz
# The tests write thousands of small files: on tmpfs where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR=$(mktemp -d /dev/shm/hestle-reliability.XXXXXX)
  export TMPDIR
  trap 'rm -rf "$TMPDIR"' EXIT
fi

export HESTLE_LONG_RUNS=1
tests=build/default/hestle_tests
TIMEFORMAT='  %R s elapsed, %U s user and %S s system CPU'
failed=()
# One driver: its figures and verdict lines, and its name kept when it fails.
run() {
  local name=$1 output status
  shift
  echo "=== $name"
  time {
    output=$("$@" 2>&1) && status=0 || status=$?
    grep -E '^(soak|signal storm|file consistency|read|decode|log ceiling|fuzz )|^\[  (PASSED|FAILED) |Failure' <<<"$output" || true
  }
  [ "$status" -eq 0 ] || failed+=("$name")
}
run "soak: 1,000,000 passes (about four months)" "$tests" --gtest_filter='SoakTest.*'
run "signal storm: 1,000 deliveries" "$tests" --gtest_filter='SignalStormTest.*'
run "hardware matrix: 108 simulated days" "$tests" --gtest_filter='Matrix/HardwareFaultTest.*'
run "hostile data directory: 90 plants, 20 processes raced" "$tests" \
  --gtest_filter='Plants/HostileDirectoryTest.*:RacingAttackerTest.*'
run "oversized settings: peak memory of a separate process" "$tests" --gtest_filter='OversizedConfigTest.*'
run "concurrent readers: 5,000 writes of each file" "$tests" --gtest_filter='FileConsistencyTest.*'
run "log ceiling: a month per firmware, the settings flipped every pass" \
  "$tests" --gtest_filter='Firmware/LogCeilingMonthTest.*'

run "fuzz: $fuzz_seconds s per target" scripts/fuzz.sh "$fuzz_seconds"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'long runs failed: %s\n' "${failed[@]}"
  exit 1
fi
echo "every long run passed"
