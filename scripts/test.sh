#!/usr/bin/env bash
# Builds and runs every test: g++, clang++, and clang++ with ASan + UBSan;
# then a short run of the libFuzzer targets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Tests write thousands of small files; on ext4 each replacing rename waits for
# the disk, so they run in a private directory on tmpfs where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR=$(mktemp -d /dev/shm/hestle-tests.XXXXXX)
  export TMPDIR
  trap 'rm -rf "$TMPDIR"' EXIT
fi
status=0
for preset in default clang asan; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
echo "=== fuzz (clang++, libFuzzer, ASan + UBSan)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target config_decode_fuzz config_pass_fuzz
scripts/fuzz.sh 25 || status=1
exit $status
