#!/usr/bin/env bash
# make test: install what is missing, configure, build, and run every test
# executable under Wine with one persistent wineserver for the whole run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" "$build"
"$root/scripts/wine-prefix.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
wineserver -p 2>/dev/null || true  # already running is fine
# Start Wine's own services once, outside any test's output handles.
$WINE cmd /c exit >/dev/null 2>&1 </dev/null || true
stop_server() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
trap stop_server EXIT

cd "$build"
ctest --output-on-failure --timeout 600 ${CTEST_ARGS:-}
