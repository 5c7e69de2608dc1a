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

# The module logs into rotating files for the demo ("Logging Mechanism" = 1;
# without it, it sends ETW events, which nothing collects under Wine). The
# registry value is put back as it was when the demo ends.
log_key='HKLM\SOFTWARE\Korvex\Logging'
log_folder='C:\ProgramData\Korvex\KVLOGS\Wardline\Wardline'
log_folder_here="$WINEPREFIX/drive_c/ProgramData/Korvex/KVLOGS/Wardline/Wardline"
previous_mechanism="$($WINE reg query "$log_key" /v "Logging Mechanism" </dev/null 2>/dev/null | tr -d '\r' |
    awk '$1 == "Logging" && $2 == "Mechanism" { print $4 }' || true)"
restore_mechanism() {
    [ -n "${log_key:-}" ] || return 0
    if [ -n "$previous_mechanism" ]; then
        $WINE reg add "$log_key" /v "Logging Mechanism" /t REG_DWORD /d "$((previous_mechanism))" /f >/dev/null 2>&1 </dev/null
    else
        $WINE reg delete "$log_key" /v "Logging Mechanism" /f >/dev/null 2>&1 </dev/null
    fi
    log_key=
}
# Also when the demo is interrupted; before the session's own exit handler,
# which stops the wineserver.
session_exit="$(trap -p EXIT | sed -e "s/^trap -- '//" -e "s/' EXIT\$//")"
trap 'restore_mechanism; '"$session_exit" EXIT
$WINE reg add 'HKLM\SOFTWARE\Korvex\Logging' /v "Logging Mechanism" /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
mkdir -p "$log_folder_here"
[ -e "$log_folder_here/log.ini" ] || cp "$root/examples/log.ini" "$log_folder_here/log.ini"

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
restore_mechanism

echo
echo "== The module's log went to $log_folder"
echo "   (in this build's Wine prefix: $log_folder_here):"
(cd "$log_folder_here" && ls -l --time-style=+ -- * | awk '{ print "     " $5 " bytes  " $NF }')
echo "== Its last lines, through the log reader (wlog -n 15):"
$WINE "$build/tools/wlog/wlog.exe" -n 15 "$log_folder" </dev/null 2>&1 | tr -d '\r'
set -e
exit "$status"
