#!/usr/bin/env bash
# make demo: install what is missing, build, and run Wardline.dll in hubhost
# under Wine with the example scenario, printing the bus traffic.
# Usage: scripts/demo.sh [hubhost options...]   (e.g. --json)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" "$build"
"$root/scripts/wine-prefix.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
winpath() { echo "Z:$1" | tr '/' '\\'; }

# Wine's background services are started here, with their output going
# nowhere: started by hubhost they would inherit its output and keep a pipe
# (make demo | less) open after the demo ended.
# A server that was already running (exit status 2) belongs to someone else's
# session and is left alone.
stop_server() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
if wineserver -p >/dev/null 2>&1; then
    trap stop_server EXIT
fi
$WINE wineboot >/dev/null 2>&1 </dev/null || true

set +e
$WINE "$build/host/hubhost/hubhost.exe" "$(winpath "$build/src/Wardline.dll")" \
    --script "$(winpath "$root/examples/protection.hub")" "$@" </dev/null 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
exit "$status"
