#!/usr/bin/env bash
# Checks a built PE library: it exports exactly the names of its .def file,
# undecorated, and imports system DLLs only (no MinGW runtime DLLs). Given
# its link map, also that the statically linked thread library contributed
# nothing that keeps per-thread state (see src/dll/ThreadRuntime.cpp).
# Usage: scripts/check-pe.sh <file.dll> <file.def> [<link.map>]
set -euo pipefail
dll="$1"
def="$2"
map="${3:-}"
dump="$(x86_64-w64-mingw32-objdump -p "$dll")"

expected="$(awk '/^EXPORTS/{on=1; next} on && NF {print $1}' "$def" | sort)"
actual="$(printf '%s\n' "$dump" | awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on {on=0}' | sort)"
if [ "$expected" != "$actual" ]; then
    echo "exports differ from $def"
    echo "expected:"; echo "$expected"
    echo "actual:"; echo "$actual"
    exit 1
fi
echo "exports: $(echo $actual)"

system_dlls='^(kernel32|advapi32|ole32|oleaut32|shell32|shlwapi|version|wintrust|crypt32|user32|msvcrt|ntdll|rpcrt4|bcrypt|cabinet|api-ms-win-.*)\.dll$'
bad=0
while read -r name; do
    lower="$(echo "$name" | tr 'A-Z' 'a-z')"
    if ! [[ "$lower" =~ $system_dlls ]]; then
        echo "non-system import: $name"
        bad=1
    fi
done < <(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}')
echo "imports: $(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}' | tr '\n' ' ')"

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
        echo "no archive members listed in $map"
        bad=1
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
        echo "runtime pieces that keep per-thread state were linked in:"
        printf '%s\n' "$offending"
        bad=1
    fi
fi
[ "$bad" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
