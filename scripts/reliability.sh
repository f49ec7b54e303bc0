#!/usr/bin/env bash
# The long reliability runs: a soak of a million passes, a storm of thousands
# of stop signals, the whole hardware matrix, the oversized settings files,
# concurrent readers, and a long libFuzzer run of both targets.
# Usage: scripts/reliability.sh [FUZZ_SECONDS_PER_TARGET]   (default 600)
# Prints the figures the README's "Reliability" section quotes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
fuzz_seconds="${1:-600}"
cmake --preset default >/dev/null
cmake --build --preset default -j2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target config_decode_fuzz config_pass_fuzz

tests=build/default/hestle_tests
run() {
  echo "=== $1"
  shift
  "$@" 2>/dev/null | grep -E '^(soak|signal storm|file consistency|read|decode|log ceiling)|^\[  (PASSED|FAILED) ' || true
}
run "soak: 1,000,000 passes (about four months)" \
  env HESTLE_SOAK_PASSES=1000000 "$tests" --gtest_filter='SoakTest.*'
run "signal storm: 2,000 deliveries" \
  env HESTLE_STORM_DELIVERIES=2000 "$tests" --gtest_filter='SignalStormTest.*'
run "hardware matrix: a simulated day per case" "$tests" --gtest_filter='Matrix/HardwareFaultTest.*'
run "hostile data directory" "$tests" --gtest_filter='Plants/HostileDirectory*'
run "oversized settings: peak memory of a separate process" "$tests" --gtest_filter='OversizedConfigTest.*'
run "concurrent readers" "$tests" --gtest_filter='FileConsistencyTest.*'
run "log ceiling: a month per firmware, the settings flipped every pass" \
  env HESTLE_LONG_RUNS=1 "$tests" --gtest_filter='Firmware/LogCeilingMonthTest.*'

scripts/fuzz.sh "$fuzz_seconds"
