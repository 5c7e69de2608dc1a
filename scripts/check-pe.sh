#!/usr/bin/env bash
# Checks built PE files.
#
#   scripts/check-pe.sh [--unoptimised] <file.dll> <file.def> [<link.map>]
#                       [-- <binary>...] [--no-fortified-calls <binary>...]
#       The library exports exactly the names of its .def file, undecorated.
#       Given its link map, also that the statically linked thread library
#       contributed nothing that keeps per-thread state (see
#       src/dll/ThreadRuntime.cpp). Then the library and each further binary
#       as below. Binaries after --no-fortified-calls call no string
#       function whose buffer size the compiler knows, so none of libssp's
#       checked variants may be linked into them (which would mean they now
#       do).
#   scripts/check-pe.sh [--unoptimised] --hardened <binary> [<debug file>]
#       One binary as below; a stripped one is read with its debug file.
#
# Every binary imports system DLLs only (no MinGW runtime DLL, no
# libssp-0.dll) and is hardened as cmake/BuildFlags.cmake builds it:
# DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT set, base relocations present,
# no section both writable and executable, every compilation unit of ours
# optimised and with stack protection (the producer line GCC records in the
# debug information), libssp's stack check linked in, and its checked
# variants of the string functions (__memcpy_chk and the like), which a
# fortified call whose size the compiler knows but cannot prove safe calls.
# --unoptimised is for a Debug build (coverage), which never ships: the
# headers fortify nothing without optimisation, so the check takes -O0 and no
# checked variants there.
set -euo pipefail
objdump=x86_64-w64-mingw32-objdump

optimised=yes
if [ "${1:-}" = --unoptimised ]; then
    optimised=no
    shift
fi

failures=0
fail() {
    echo "$*"
    failures=$((failures + 1))
}

# Reads <count> bytes at <offset> of <file> as an unsigned little-endian number.
read_le() { od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '; }

system_dlls='^(kernel32|advapi32|ole32|oleaut32|shell32|shlwapi|version|wintrust|crypt32|user32|msvcrt|ntdll|rpcrt4|bcrypt|cabinet|api-ms-win-.*)\.dll$'

check_imports() {
    local file="$1" dump="$2" name lower
    while read -r name; do
        lower="$(echo "$name" | tr 'A-Z' 'a-z')"
        if ! [[ "$lower" =~ $system_dlls ]]; then
            fail "$file: non-system import: $name"
        fi
    done < <(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}')
    echo "$(basename "$file") imports: $(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}' | tr '\n' ' ')"
}

# The loader's flags, the relocations and the sections' rights, read from the
# headers.
check_image() {
    local file="$1" dump="$2" value flag mask failed_before=$failures
    value="$(printf '%s\n' "$dump" | awk '$1 == "DllCharacteristics" {print $2}')"
    [ -n "$value" ] || { fail "$file: no DllCharacteristics"; return; }
    for flag in HIGH_ENTROPY_VA:0x20 DYNAMIC_BASE:0x40 NX_COMPAT:0x100; do
        mask="${flag#*:}"
        (( 16#$value & mask )) || fail "$file: ${flag%%:*} not set (DllCharacteristics $value)"
    done

    local pe file_flags relocs optional at sections i characteristics name
    pe="$(read_le "$file" 60 4)"
    # The offsets below are those of PE32+.
    [ "$(read_le "$file" $((pe + 24)) 2)" = $((0x20b)) ] || { fail "$file: not a PE32+ image"; return; }
    file_flags="$(read_le "$file" $((pe + 22)) 2)"
    (( file_flags & 1 )) && fail "$file: relocations stripped (IMAGE_FILE_RELOCS_STRIPPED)"
    # The PE32+ optional header's data directories start at 112; the base
    # relocation table is the sixth, its size 4 bytes into the entry.
    relocs="$(read_le "$file" $((pe + 24 + 112 + 5 * 8 + 4)) 4)"
    [ "$relocs" -gt 0 ] || fail "$file: no base relocations"

    optional="$(read_le "$file" $((pe + 20)) 2)"
    sections="$(read_le "$file" $((pe + 6)) 2)"
    at=$((pe + 24 + optional))
    # Names from objdump (long ones live in the string table), in header order.
    local names=()
    mapfile -t names < <("$objdump" -h "$file" | awk '$1 ~ /^[0-9]+$/ {print $2}')
    for ((i = 0; i < sections; i++)); do
        characteristics="$(read_le "$file" $((at + 40 * i + 36)) 4)"
        name="${names[$i]:-#$i}"
        # IMAGE_SCN_MEM_EXECUTE and IMAGE_SCN_MEM_WRITE
        if (( characteristics & 0x20000000 )) && (( characteristics & 0x80000000 )); then
            fail "$file: section $name is writable and executable"
        fi
    done
    [ "$failures" -gt "$failed_before" ] ||
        echo "$(basename "$file") image: DllCharacteristics $value, $relocs bytes of base relocations," \
             "no section of $sections writable and executable"
}

# GCC records its options in each compilation unit's producer line (but not
# -D, so _FORTIFY_SOURCE shows only through the checked variants linked). The
# mingw-w64 runtime in every binary is Debian's build, without stack
# protection: its units are the only ones let through.
check_compiled_hardened() {
    local file="$1" debug="$2" fortified_calls="$3" failed_before=$failures units
    units="$("$objdump" --dwarf=info --dwarf-depth=1 "$debug" 2>/dev/null | awk '
        function value(line) { sub(/^[^:]*: /, "", line); sub(/^\(indirect[^)]*\): /, "", line); return line }
        function flush() { if (unit) print name "\t" producer; unit = 0; name = ""; producer = "" }
        /DW_TAG_compile_unit/ { flush(); unit = 1; next }
        unit && /DW_AT_producer/ { producer = value($0) }
        unit && /DW_AT_name/ && name == "" { name = value($0) }
        END { flush() }')"
    [ -n "$units" ] || { fail "$file: no compilation units in the debug information of $debug"; return; }
    local producer option level protector own=0 unhardened=0
    while IFS=$'\t' read -r name producer; do
        case "$name" in ./mingw-w64-crt/* | ./mingw-w64-libraries/*) continue ;; esac
        own=$((own + 1))
        level=""
        protector=""
        for option in $producer; do
            case "$option" in
            -O*) level="$option" ;;
            -fstack-protector* | -fno-stack-protector) protector="$option" ;;
            esac
        done
        [ "$optimised" = yes ] || level=unchecked
        if [ -z "$level" ] || [ "$level" = -O0 ] ||
           { [ "$protector" != -fstack-protector-strong ] && [ "$protector" != -fstack-protector-all ]; }; then
            [ "$unhardened" -ge 5 ] || echo "$name: ${level:-no -O}, ${protector:-no stack protection}"
            unhardened=$((unhardened + 1))
        fi
    done <<<"$units"
    [ "$own" -gt 0 ] || fail "$file: no compilation unit of ours in the debug information"
    [ "$unhardened" -eq 0 ] || fail "$file: $unhardened of $own compilation units unoptimised or without stack protection"
    local symbols missing="" checked described="optimised and with stack protection"
    symbols="$("$objdump" -t "$debug" | awk '{print $NF}')"
    for name in __stack_chk_guard __stack_chk_fail; do
        printf '%s\n' "$symbols" | grep -x -- "$name" >/dev/null || missing="$missing $name"
    done
    [ -z "$missing" ] || fail "$file: libssp's$missing not linked"
    checked="$(printf '%s\n' "$symbols" | grep -E '^__[a-z0-9]+_chk$' | sort -u | tr '\n' ' ' || true)"
    if [ "$optimised" = no ]; then
        described="with stack protection (unoptimised: nothing fortified)"
    elif [ "$fortified_calls" = yes ]; then
        [ -n "$checked" ] || fail "$file: no checked string function of libssp linked: not fortified"
        described="$described; fortified calls to ${checked% }"
    else
        [ -z "$checked" ] || fail "$file: calls ${checked% } now: take it off --no-fortified-calls"
        described="$described; no fortified calls"
    fi
    [ "$failures" -gt "$failed_before" ] || echo "$(basename "$file") code: $own compilation units $described"
}

check_hardened() {
    local file="$1" debug="${2:-$1}" fortified_calls="${3:-yes}" dump
    [ -f "$file" ] || { fail "$file: no such file"; return; }
    dump="$("$objdump" -p "$file")"
    check_imports "$file" "$dump"
    check_image "$file" "$dump"
    check_compiled_hardened "$file" "$debug" "$fortified_calls"
}

finish() {
    [ "$failures" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
}

if [ "${1:-}" = --hardened ]; then
    [ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: check-pe.sh --hardened <binary> [<debug file>]"; exit 2; }
    check_hardened "$2" "${3:-}"
    finish
    exit 0
fi

dll="$1"
def="$2"
shift 2
map=""
if [ $# -gt 0 ] && [ "$1" != -- ]; then
    map="$1"
    shift
fi
if [ $# -gt 0 ] && [ "$1" = -- ]; then
    shift
fi
dump="$("$objdump" -p "$dll")"

expected="$(awk '/^EXPORTS/{on=1; next} on && NF {print $1}' "$def" | sort)"
actual="$(printf '%s\n' "$dump" | awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on {on=0}' | sort)"
if [ "$expected" != "$actual" ]; then
    echo "exports differ from $def"
    echo "expected:"; echo "$expected"
    echo "actual:"; echo "$actual"
    exit 1
fi
echo "exports: $(echo $actual)"

if [ -n "$map" ]; then
    # "archive(member) <- object (symbol)" for every archive member the link took.
    taken="$(awk '
        /^Archive member included/ { on = 1; next }
        on && /^(Discarded input sections|Memory Configuration|Allocating common symbols)/ { exit }
        on && /^[^ \t]/ {
            member = $1; rest = $0; sub(/^[^ \t]+[ \t]*/, "", rest)
            if (rest != "") { print member " <- " rest; member = "" }
            next
        }
        on && member != "" && /^[ \t]+[^ \t]/ { rest = $0; sub(/^[ \t]+/, "", rest); print member " <- " rest; member = "" }
    ' "$map")"
    if [ -z "$taken" ]; then
        fail "no archive members listed in $map"
    fi
    # Of the thread library only its mutexes (state per mutex, freed with it)
    # and its time helpers; its thread functions (pthread_self, keys,
    # pthread_once, condition variables, rwlocks, ...) keep a handle pair per
    # thread that an unload never gives back. libgcc's emutls.o and
    # libsupc++'s guard.o would mean the library's own definitions are not
    # the ones in use.
    thread_lib="$(printf '%s\n' "$taken" | grep -E '^[^ ]*/lib(win)?pthread\.a\(' || true)"
    echo "thread library members: $(printf '%s\n' "$thread_lib" | sed -E 's/^[^ ]*\.a\(([^)]*)\).*$/\1/' | sort -u | tr '\n' ' ')"
    offending="$( (printf '%s\n' "$thread_lib" | grep -vE '^[^ ]*\((libwinpthread_la-)?(mutex|misc)\.o\)'
                   printf '%s\n' "$taken" | grep -E '^[^ ]*(/libgcc_eh\.a\(emutls\.o\)|/libstdc\+\+\.a\(guard\.o\))') |
                  grep . || true)"
    if [ -n "$offending" ]; then
        fail "runtime pieces that keep per-thread state were linked in:"
        printf '%s\n' "$offending"
    fi
fi

fortified_calls=yes
for binary in "$dll" "$@"; do
    if [ "$binary" = --no-fortified-calls ]; then
        fortified_calls=no
        continue
    fi
    check_hardened "$binary" "$binary" "$fortified_calls"
done
finish
