#!/usr/bin/env bash
# Log bytes per simulated day on every firmware profile: runs the week of
# scenarios/week.json (unplugged twice a day, a weekly calibration) with each
# firmware through hestle-sim and divides daemon.log (and daemon.log.1, should
# it rotate) by seven. Usage: scripts/log_per_day.sh; uses build/default.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build/default --target hestle-sim >/dev/null
OUT=$(mktemp -d "${TMPDIR:-/tmp}/hestle-logday-XXXXXX")
trap 'rm -rf "$OUT"' EXIT
for firmware in tahoe preTahoe tahoe-2026-09; do
  python3 - "$firmware" >"$OUT/$firmware.json" <<'PY'
import json, sys
s = json.load(open("scenarios/week.json"))
s["machine"]["firmware"] = sys.argv[1]
print(json.dumps(s))
PY
  build/default/harness/hestle-sim "$OUT/$firmware.json" --out "$OUT/$firmware" >/dev/null
  bytes=$(cat "$OUT/$firmware"/daemon.log* | wc -c)
  echo "$firmware: $bytes bytes in 7 days, $((bytes / 7)) bytes per day"
done
