#!/usr/bin/env bash
# Sets everything up, builds hestle-sim, hestled and hestle, and runs hestled
# through a simulated day on a simulated Mac (virtual time: the day takes
# seconds), then prints a summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target hestle-sim hestled hestle
scenario="${1:-scenarios/demo.json}"
out="${2:-out/demo}"
echo "--- hestled on a simulated Mac: $scenario"
status=0
build/default/harness/hestle-sim "$scenario" --out "$out" || status=$?
echo "--- the picture of the run: $out/chart.svg (the log: $out/daemon.log, one record per pass: $out/trace.jsonl)"
echo "--- built for trying by hand: build/default/hestled (the daemon on a simulated Mac), build/default/cli/hestle"
exit $status
