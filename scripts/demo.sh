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
# It is made empty rather than removed: tail follows an existing file through
# inotify at once, but looks for a missing one only every so often, and the
# service's lines would then come after the settings traffic they preceded.
record="$WINEPREFIX/drive_c/ProgramData/Wardline/ProtectionManager/record.txt"
mkdir -p "$(dirname "$record")"
: > "$record"

# With --json every line is a JSON object, the service's too.
show_record=(sed -u -E 's/^pid=([0-9]+) /[protsvc] process \1: /')
for arg in "$@"; do
    if [ "$arg" = --json ]; then
        show_record=(sed -u -E -e 's/\r$//' -e 's/\\/\\\\/g' -e 's/"/\\"/g'
            -e 's/^pid=([0-9]+) (.*)$/{"event":"protsvc","process":\1,"text":"\2"}/')
    fi
done

set +e
{
    # $! is tail itself: stopping it ends the formatter too.
    tail -n +1 -F -s 0.05 "$record" 2>/dev/null > >("${show_record[@]}") &
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
