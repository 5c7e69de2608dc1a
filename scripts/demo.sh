#!/usr/bin/env bash
# make demo: install what is missing, build, and run Wardline.dll in hubhost
# under Wine with the example scenario, printing the bus traffic.
# Usage: scripts/demo.sh [hubhost options...]   (e.g. --json)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

source "$root/scripts/wine-session.sh"
winpath() { echo "Z:$1" | tr '/' '\\'; }

set +e
$WINE "$build/host/hubhost/hubhost.exe" "$(winpath "$build/src/Wardline.dll")" \
    --script "$(winpath "$root/examples/protection.hub")" "$@" </dev/null 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
exit "$status"
