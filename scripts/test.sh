#!/usr/bin/env bash
# Builds and runs every test: g++, clang++, and clang++ with ASan + UBSan;
# then a short run of the libFuzzer targets. Prints what fails as it goes and
# ends with one line per build ("g++: 184 passed, 0 failed"), then the verdict
# over all of them as the last line ("total: 554 passed, 0 failed"). The full
# ctest output of each build stays in build/PRESET/ctest.log.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
scripts/install-deps.sh || exit 1
# Tests write thousands of small files; on ext4 each replacing rename waits for
# the disk, so they run in a private directory on tmpfs where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR=$(mktemp -d /dev/shm/hestle-tests.XXXXXX)
  export TMPDIR
  trap 'rm -rf "$TMPDIR"' EXIT
fi
started=$SECONDS
results=()  # "NAME PASSED FAILED"

# "PASSED FAILED" from ctest's closing line ("99% tests passed, 1 tests failed
# out of 572"), or nothing when it has none.
ctest_counts() {
  sed -E 's/\x1b\[[0-9;]*m//g' "$1" |
    sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\2 \1/p' |
    tail -1 | awk '{ print $1 - $2, $2 }'
}

# Ninja's "[12/93] Building ..." lines say nothing that the end result does not.
quiet_build() {
  cmake --build --preset "$1" "${@:2}" 2>&1 | grep --line-buffered -Ev '^\[[0-9]+/[0-9]+\] '
  return "${PIPESTATUS[0]}"
}

for preset in default clang asan; do
  case $preset in default) name=g++ ;; clang) name=clang++ ;; *) name=$preset ;; esac
  echo "=== $name: build and test (preset $preset)"
  log="build/$preset/ctest.log"
  if ! cmake --preset "$preset" >/dev/null || ! quiet_build "$preset"; then
    echo "$name: the build failed"
    results+=("$name 0 1")
    continue
  fi
  # Passed tests are only counted; failures print with their output.
  ctest --preset "$preset" 2>&1 | tee "$log" |
    grep --line-buffered -Ev '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$'
  counts=$(ctest_counts "$log")
  if [ -z "$counts" ]; then
    echo "$name: ctest ended without its summary; see $log"
    counts="0 1"
  fi
  results+=("$name $counts")
done

echo "=== fuzz: libFuzzer targets, clang++ with ASan + UBSan"
if cmake --preset fuzz >/dev/null && quiet_build fuzz --target config_decode_fuzz config_pass_fuzz; then
  fuzz_log="build/fuzz/fuzz.log"
  scripts/fuzz.sh 25 2>&1 | tee "$fuzz_log"
  fuzz_status=${PIPESTATUS[0]}
  # One line per target: "fuzz TARGET: N executions in 25s, 0 crashes" or "..., CRASHED".
  clean=$(grep -c '^fuzz .*, 0 crashes$' "$fuzz_log")
  crashed=$(grep -c '^fuzz .*, CRASHED$' "$fuzz_log")
  if [ "$crashed" -eq 0 ] && { [ "$fuzz_status" -ne 0 ] || [ "$clean" -eq 0 ]; }; then
    echo "fuzz: scripts/fuzz.sh failed without a crash report; see $fuzz_log"
    crashed=1
  fi
  results+=("fuzz $clean $crashed")
else
  echo "fuzz: the build failed"
  results+=("fuzz 0 1")
fi

echo "=== summary after $(( (SECONDS - started) / 60 )) min (logs: build/PRESET/ctest.log, build/fuzz/fuzz.log)"
passed=0
failed=0
for result in "${results[@]}"; do
  read -r name p f <<<"$result"
  echo "$name: $p passed, $f failed"
  passed=$((passed + p))
  failed=$((failed + f))
done
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
