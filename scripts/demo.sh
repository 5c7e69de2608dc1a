#!/usr/bin/env bash
# make demo: install what is missing, build, and run Wardline.dll in hubhost
# under Wine with the example scenario, printing the bus traffic and, marked
# [protsvc], each call the protection-manager service served.
# Usage: scripts/demo.sh [hubhost options...]   (e.g. --json)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

source "$root/scripts/wine-session.sh"
winpath() { echo "Z:$1" | tr '/' '\\'; }

# The service appends a line to its record for every call; the demo shows
# the lines as they come, in the same stream as hubhost's, so that they stand
# where they happened. The record is emptied first: this run's calls only.
record="$WINEPREFIX/drive_c/ProgramData/Wardline/ProtectionManager/record.txt"
rm -f "$record"

set +e
{
    tail -n +1 -F -s 0.05 "$record" 2>/dev/null |
        sed -u -E 's/^pid=([0-9]+) /[protsvc] process \1: /' &
    follower=$!
    $WINE "$build/host/hubhost/hubhost.exe" "$(winpath "$build/src/Wardline.dll")" \
        --script "$(winpath "$root/examples/protection.hub")" "$@" </dev/null 2>&1
    status=$?
    sleep 0.5
    kill "$follower" 2>/dev/null
    wait "$follower" 2>/dev/null
    exit "$status"
} | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
exit "$status"
