#!/usr/bin/env bash
# Runs both libFuzzer targets (settings parser; whole passes driven by the
# settings file) for SECONDS each, from the seeds in fuzz/corpus and the
# inputs kept in fuzz/regressions.
# Expects the `fuzz` preset built. Fails on any crash; prints the counts.
# Usage: scripts/fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seeds=(fuzz/corpus)
[ -d fuzz/regressions ] && seeds+=(fuzz/regressions)
status=0
for target in config_decode_fuzz config_pass_fuzz; do
  mkdir -p "$work/$target"
  # The simulated Mac keeps released CF objects in a quarantine to catch
  # over-releases; LeakSanitizer would take those for leaks at exit. Leaked
  # CF objects are caught by the pass target's own object counts instead.
  leaks=1
  [ "$target" = config_pass_fuzz ] && leaks=0
  if ASAN_OPTIONS="detect_leaks=$leaks" "build/fuzz/fuzz/$target" -max_total_time="$seconds" -close_fd_mask=2 \
       -artifact_prefix="$work/" -print_final_stats=1 "$work/$target" "${seeds[@]}" >"$work/$target.log" 2>&1; then
    result="0 crashes"
  else
    result="CRASHED"
    status=1
    tail -40 "$work/$target.log"
    mkdir -p fuzz/artifacts
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* fuzz/artifacts/ 2>/dev/null || true
  fi
  runs="$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/$target.log" | grep -Eo '[0-9]+$' || echo '?')"
  echo "fuzz $target: $runs executions in ${seconds}s, $result"
done
exit $status
