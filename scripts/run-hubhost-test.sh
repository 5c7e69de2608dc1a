#!/usr/bin/env bash
# Runs hubhost scripts under Wine and checks what each printed. A script says
# what it needs in lines at its top:
#   #! args: ARGS          hubhost arguments before --script ({fake} is the
#                          fake module's Windows path, {wardline} Wardline.dll's,
#                          {dir} the script's folder)
#   #! needs: wardline     skip (and say so) while Wardline.dll does not
#                          export CreateObject yet
#   #! env: NAME=VALUE     environment for this run (repeatable)
#   #! exit: N             the exit code hubhost must report (default 0)
#   #! output: LINE        a line that must appear, exactly (repeatable)
#   #! contains: TEXT      text that must appear on some line (repeatable)
#   #! absent: TEXT        text that must appear on no line (repeatable)
#   #! order: LINE         lines that must appear in this order (repeatable)
#   #! stdin               feed the script on standard input, not --script
#   #! run: PATH           run the script at PATH (relative to this one) with
#                          this one's checks
# Wine's own exit code is not trusted: hubhost's last line "[hubhost] exit N"
# (or {"event":"exit","code":N} with --json) is.
# Usage: scripts/run-hubhost-test.sh <build-dir> <hubhost.exe> <fake-module.dll> <Wardline.dll> <script.hub>...
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh" "$1"
hubhost="$2"
fake="$3"
wardline="$4"
shift 4

winpath() { echo "Z:$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" | tr '/' '\\'; }

wardline_ready() {
    [ -f "$wardline" ] && x86_64-w64-mingw32-objdump -p "$wardline" 2>/dev/null |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -qw CreateObject
}

failed=0
skipped=0
for script in "$@"; do
    name="$(basename "$script")"
    if grep -q '^#! needs: wardline' "$script" && ! wardline_ready; then
        echo "SKIP $name: $(basename "$wardline") does not export CreateObject yet"
        skipped=$((skipped + 1))
        continue
    fi
    log="$(mktemp)"
    args="$(sed -n 's/^#! args: //p' "$script" | head -n1)"
    args="${args//\{fake\}/$(winpath "$fake")}"
    args="${args//\{wardline\}/$(winpath "$wardline")}"
    args="${args//\{dir\}/$(winpath "$script" | sed 's/\\[^\\]*$//')}"
    want_exit="$(sed -n 's/^#! exit: //p' "$script" | head -n1)"
    want_exit="${want_exit:-0}"
    target="$script"
    run="$(sed -n 's/^#! run: //p' "$script" | head -n1)"
    if [ -n "$run" ]; then
        target="$(dirname "$script")/$run"
    fi
    envs=()
    while IFS= read -r e; do envs+=("$e"); done < <(sed -n 's/^#! env: //p' "$script")

    # Into a file, not a pipe: Wine services started by the first run inherit
    # the output and would keep a pipe open long after hubhost ended.
    if grep -q '^#! stdin' "$script"; then
        # shellcheck disable=SC2086
        env "${envs[@]}" $WINE "$hubhost" $args < "$target" > "$log.raw" 2>&1
    else
        # shellcheck disable=SC2086
        env "${envs[@]}" $WINE "$hubhost" $args --script "$(winpath "$target")" > "$log.raw" 2>&1 </dev/null
    fi
    tr -d '\r' < "$log.raw" > "$log"
    rm -f "$log.raw"

    problems=()
    got_exit="$(sed -n 's/^\[hubhost\] exit \([0-9]*\):.*/\1/p; s/^{"event":"exit","code":\([0-9]*\),.*/\1/p' "$log" | tail -n1)"
    if [ -z "$got_exit" ]; then
        problems+=("no final exit line: hubhost crashed or was killed")
    elif [ "$got_exit" != "$want_exit" ]; then
        problems+=("exit $got_exit, expected $want_exit")
    fi
    while IFS= read -r line; do
        grep -qxF -- "$line" "$log" || problems+=("missing line: $line")
    done < <(sed -n 's/^#! output: //p' "$script")
    while IFS= read -r text; do
        grep -qF -- "$text" "$log" || problems+=("missing text: $text")
    done < <(sed -n 's/^#! contains: //p' "$script")
    while IFS= read -r text; do
        if grep -qF -- "$text" "$log"; then problems+=("unwanted text: $text"); fi
    done < <(sed -n 's/^#! absent: //p' "$script")
    from=1
    while IFS= read -r line; do
        at="$(tail -n "+$from" "$log" | grep -nxF -- "$line" | head -n1 | cut -d: -f1)"
        if [ -z "$at" ]; then
            problems+=("out of order or missing: $line")
            break
        fi
        from=$((from + at))
    done < <(sed -n 's/^#! order: //p' "$script")

    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
        printf '    %s\n' "${problems[@]}"
        echo "    --- output ---"
        sed 's/^/    /' "$log"
    fi
    rm -f "$log"
done
echo "hubhost scripts: $(($# - failed - skipped)) passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
