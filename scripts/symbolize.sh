#!/usr/bin/env bash
# Turns the "module+0xoffset" frames of the guard-page heap's reports (and of
# the checked build's undefined-behaviour stops) into functions and source
# lines, from the build's own binaries.
# Usage: scripts/symbolize.sh <build-dir> [file]   (default: standard input)
set -euo pipefail
build="$1"
shift
declare -A base=()
declare -A path=()
grep -o -E '[A-Za-z0-9_.-]+\.(exe|dll)\+0x[0-9a-f]+' "${@:-/dev/stdin}" | while read -r frame; do
    module="${frame%%+*}"
    offset="${frame#*+}"
    if [ -z "${path[$module]+x}" ]; then
        path[$module]="$(find "$build" -path "$build/wineprefix" -prune -o -name "$module" -type f -print -quit)"
        base[$module]=""
        if [ -n "${path[$module]}" ]; then
            base[$module]="0x$(x86_64-w64-mingw32-objdump -p "${path[$module]}" | awk '/^ImageBase/ {print $2}')"
        fi
    fi
    if [ -z "${path[$module]}" ]; then
        echo "$frame: (not built here)"
        continue
    fi
    # Frames past the first are return addresses: the call is the byte before.
    where="$(x86_64-w64-mingw32-addr2line -f -C -i -e "${path[$module]}" \
        "$(printf '0x%x' $((base[$module] + offset - 1)))" | paste -sd ' ')"
    echo "$frame: $where"
done
