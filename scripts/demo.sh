#!/usr/bin/env bash
# make demo: install what is missing, build, and run Wardline.dll in hubhost
# under Wine with the example scenario, printing the bus traffic and, marked
# [protsvc], each call the protection-manager service served; then where the
# module logged, and a second run in which it loads the bus library itself.
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

# With --json the service's lines are JSON objects, like hubhost's.
show_record=(sed -u -E 's/^pid=([0-9]+) /[protsvc] process \1: /')
for arg in "$@"; do
    if [ "$arg" = --json ]; then
        show_record=(sed -u -E -e 's/\r$//' -e 's/\\/\\\\/g' -e 's/"/\\"/g'
            -e 's/^pid=([0-9]+) (.*)$/{"event":"protsvc","process":\1,"text":"\2"}/')
    fi
done

# The module logs into rotating files for the demo ("Logging Mechanism" = 1;
# without it, it sends ETW events, which nothing collects under Wine). The
# last part runs with ETW events at severity 1 instead, which hubhost reads
# for its "[loader]" lines. Registry values are put back as they were when
# the demo ends.
log_key='HKLM\SOFTWARE\Korvex\Logging'
provider_key='HKLM\SOFTWARE\Korvex\Logging\Provider\Wardline'
log_folder='C:\ProgramData\Korvex\KVLOGS\Wardline\Wardline'
log_folder_here="$WINEPREFIX/drive_c/ProgramData/Korvex/KVLOGS/Wardline/Wardline"
reg_dword() { # key value: the DWORD's decimal value, or nothing
    $WINE reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
        awk -v name="$2" 'index($0, name) && $(NF-1) == "REG_DWORD" { print $NF }' || true
}
set_dword() { $WINE reg add "$1" /v "$2" /t REG_DWORD /d "$3" /f >/dev/null 2>&1 </dev/null; }
put_back() { # key value previous
    if [ -n "$3" ]; then
        set_dword "$1" "$2" "$(($3))"
    else
        $WINE reg delete "$1" /v "$2" /f >/dev/null 2>&1 </dev/null
    fi
}
key_exists() { $WINE reg query "$1" >/dev/null 2>&1 </dev/null && echo yes || true; }
previous_mechanism="$(reg_dword "$log_key" "Logging Mechanism")"
previous_severity="$(reg_dword "$provider_key" Severity)"
# Keys the demo creates go again: tests of the same prefix expect them absent.
providers_existed="$(key_exists "${provider_key%\\*}")"
provider_existed="$(key_exists "$provider_key")"
restore_registry() {
    [ -n "${log_key:-}" ] || return 0
    put_back "$log_key" "Logging Mechanism" "$previous_mechanism"
    put_back "$provider_key" Severity "$previous_severity"
    if [ -z "$providers_existed" ]; then
        $WINE reg delete "${provider_key%\\*}" /f >/dev/null 2>&1 </dev/null
    elif [ -z "$provider_existed" ]; then
        $WINE reg delete "$provider_key" /f >/dev/null 2>&1 </dev/null
    fi
    log_key=
}
# Also when the demo is interrupted; before the session's own exit handler,
# which stops the wineserver.
session_exit="$(trap -p EXIT | sed -e "s/^trap -- '//" -e "s/' EXIT\$//")"
trap 'restore_registry; '"$session_exit" EXIT
set_dword "$log_key" "Logging Mechanism" 1
mkdir -p "$log_folder_here"
[ -e "$log_folder_here/log.ini" ] || cp "$root/examples/log.ini" "$log_folder_here/log.ini"

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

echo
echo "== The module's log went to $log_folder"
echo "   (in this build's Wine prefix: $log_folder_here):"
(cd "$log_folder_here" && ls -l --time-style=+ -- * | awk '{ print "     " $5 " bytes  " $NF }')
echo "== Its last lines, through the log reader (wlog -n 15):"
$WINE "$build/tools/wlog/wlog.exe" -n 15 "$log_folder" </dev/null 2>&1 | tr -d '\r'

echo
echo "== The same module initialised with InitializeModule (hubhost --init v1): it finds,"
echo "   checks and loads Courier.dll itself (examples/init-v1.hub)"
set_dword "$log_key" "Logging Mechanism" 0
set_dword "$provider_key" Severity 1
$WINE "$build/host/hubhost/hubhost.exe" --init v1 "$(winpath "$build/src/Wardline.dll")" \
    --script "$(winpath "$root/examples/init-v1.hub")" "$@" </dev/null 2>&1 | tr -d '\r'
v1_status=${PIPESTATUS[0]}
restore_registry
set -e
[ "$status" -ne 0 ] || status=$v1_status
exit "$status"
