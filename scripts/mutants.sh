#!/usr/bin/env bash
# Fault-finding power of the tests: applies each hand-written mutant in
# scripts/mutants/*.txt to a scratch copy of the tree, rebuilds, runs the fast
# suite, and prints the survivors and "killed K of N" last.
#   scripts/mutants.sh [--only ID...] [--files PREFIX] [--keep] [--list] [--record]
# See scripts/mutants/README.md.
set -euo pipefail
exec python3 "$(dirname "$0")/mutants.py" "$@"
