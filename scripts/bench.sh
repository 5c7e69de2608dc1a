#!/usr/bin/env bash
# make bench: build and run every benchmark under Wine. Benchmarks report
# ratios against baselines measured in the same run; they are not tests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
source "$root/scripts/wine-session.sh"

for bench in "$build"/bench/*/bench_*.exe; do
    echo "== $(basename "$bench")"
    $WINE "$bench" </dev/null 2>&1 | tr -d '\r'
done
