#!/usr/bin/env bash
# make bench: build and run every benchmark under Wine. Benchmarks report
# ratios against baselines measured in the same run; they are not tests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" "$build"
"$root/scripts/wine-prefix.sh" "$build"
source "$root/scripts/wine-env.sh" "$build"
stop_server() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
if wineserver -p >/dev/null 2>&1; then
    trap stop_server EXIT
fi
$WINE cmd /c exit >/dev/null 2>&1 </dev/null || true

for bench in "$build"/bench/*/bench_*.exe; do
    echo "== $(basename "$bench")"
    $WINE "$bench" </dev/null 2>&1 | tr -d '\r'
done
