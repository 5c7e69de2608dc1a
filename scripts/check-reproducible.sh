#!/usr/bin/env bash
# Builds Wardline.dll a second time from the same sources, in a new folder
# elsewhere and with every object compiled afresh (no compiler cache), with
# the configuration of <build-dir>, and checks that:
#   - the two libraries are byte for byte the same, and neither names the
#     source or a build folder;
#   - the release engineer's check of docs/trust.md holds for
#     <build-dir>/dist: the shipped library without its signature is the
#     second build's library packaged unsigned, and the debug files match.
# Usage: scripts/check-reproducible.sh <build-dir>
# (NINJA_ARGS apply to the second build; it costs a compile of the library's
# sources, some 60 files.)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: check-reproducible.sh <build-dir>}" && pwd)"
objdump=x86_64-w64-mingw32-objdump

source "$root/scripts/checks.sh"

cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/wardline-rebuild.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
second="$tmp/b"

# The settings that decide what goes into the library, as <build-dir> has
# them. The development PKI's thumbprints are compiled in, so the second build
# gets the same PKI rather than one of its own.
rebuild() {
    local args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
                -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)")
    local name value
    for name in WARDLINE_TRUST_DATA WARDLINE_DEV_PKI WARDLINE_COVERAGE; do
        value="$(cached "$name")"
        [ -z "$value" ] || args+=("-D$name=$value")
    done
    if [ -f "$build/pki/.pki-complete" ]; then
        mkdir -p "$second"
        cp -a "$build/pki" "$second/pki"
    fi
    export CCACHE_DISABLE=1
    cmake -S "$root" -B "$second" -G Ninja "${args[@]}" >"$tmp/configure.log" 2>&1 ||
        { cat "$tmp/configure.log"; return 1; }
    cmake --build "$second" --target Wardline -- ${NINJA_ARGS:--j2} >"$tmp/build.log" 2>&1 ||
        { tail -50 "$tmp/build.log"; return 1; }
}

# Where two files first differ, and in which section.
explain_difference() {
    local a="$1" b="$2" first idx name size vma lma off rest
    [ "$(stat -c %s "$a")" = "$(stat -c %s "$b")" ] || echo "sizes: $(stat -c %s "$a") and $(stat -c %s "$b") bytes"
    first="$(cmp "$a" "$b" 2>/dev/null | awk '$3 == "differ:" {sub(/,$/, "", $5); print $5 - 1}')"
    [ -n "$first" ] || return 0
    echo "first difference at file offset $first"
    local where="outside the sections (headers or symbol table)"
    while read -r idx name size vma lma off rest; do
        # Sections without file data (.bss) have offset 0.
        [[ "$idx" =~ ^[0-9]+$ ]] && [ $((16#$off)) -gt 0 ] || continue
        if [ "$first" -ge $((16#$off)) ] && [ "$first" -lt $((16#$off + 16#$size)) ]; then
            where="in section $name"
        fi
    done < <("$objdump" -h "$a")
    echo "$where"
}

same_library() {
    local a="$build/src/Wardline.dll" b="$second/src/Wardline.dll"
    cmp -s "$a" "$b" || { explain_difference "$a" "$b"; return 1; }
}

no_build_folders_named() {
    local file folder bad=0
    for file in "$build/src/Wardline.dll" "$second/src/Wardline.dll"; do
        for folder in "$root" "$build" "$second"; do
            if grep -aqF "$folder" "$file"; then
                echo "$file names $folder"
                bad=1
            fi
        done
    done
    [ "$bad" -eq 0 ]
}

no_time_stamps() {
    local file="$build/src/Wardline.dll" dump
    dump="$("$objdump" -p "$file")"
    printf '%s\n' "$dump" | grep -E '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970$' >/dev/null ||
        { printf '%s\n' "$dump" | grep '^Time/Date'; return 1; }
    printf '%s\n' "$dump" | grep -E '^Time/Date stamp[[:space:]]+0$' >/dev/null ||
        { echo "export directory: $(printf '%s\n' "$dump" | grep '^Time/Date stamp')"; return 1; }
}

# docs/trust.md, "Checking a shipped library against a commit", step by step.
shipped_library_is_the_rebuild() {
    local shipped="$build/dist/Wardline.dll"
    osslsigncode extract-signature -in "$shipped" -out "$tmp/signature" >/dev/null 2>&1 ||
        { echo "$shipped carries no signature"; return 1; }
    osslsigncode remove-signature -in "$shipped" -out "$tmp/shipped-unsigned.dll" >/dev/null || return 1
    bash "$root/scripts/dist.sh" unsigned "$second/src/Wardline.dll" "$tmp/rebuilt" || return 1
    cmp "$tmp/shipped-unsigned.dll" "$tmp/rebuilt/Wardline.dll" &&
        cmp "$build/dist/Wardline.dll.debug" "$tmp/rebuilt/Wardline.dll.debug"
}

start=$SECONDS
if ! check "a second build of Wardline.dll in $tmp (configure and compile)" rebuild; then
    checks_done
    exit 1
fi
echo "second build: $((SECONDS - start)) s"
check "the two builds give the same Wardline.dll" same_library
check "neither library names the source or a build folder" no_build_folders_named
check "no link time in the file header or the export directory" no_time_stamps
check "the shipped library without its signature is the rebuild packaged unsigned" shipped_library_is_the_rebuild

checks_done
