#!/usr/bin/env bash
# Sets everything up, builds, and runs hestled against a simulated Mac.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
out="${1:-out/demo}"
mkdir -p "$out"
echo "--- hestled on a simulated Tahoe MacBook, data directory $out"
build/default/hestled --data-dir "$out" --machine scenarios/machines/tahoe.json
