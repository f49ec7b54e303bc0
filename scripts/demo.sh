#!/usr/bin/env bash
# Sets everything up, builds, and runs hestled through a simulated day on a
# simulated Mac (virtual time: the day takes seconds), then prints a summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target hestle-sim
scenario="${1:-scenarios/demo.json}"
out="${2:-out/demo}"
echo "--- hestled on a simulated Mac: $scenario"
status=0
build/default/harness/hestle-sim "$scenario" --out "$out" || status=$?
echo "--- the picture of the run: $out/chart.svg (the log: $out/daemon.log, one record per pass: $out/trace.jsonl)"
exit $status
