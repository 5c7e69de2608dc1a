#!/usr/bin/env bash
# Checks a built PE library: it exports exactly the names of its .def file,
# undecorated, and imports system DLLs only (no MinGW runtime DLLs).
# Usage: scripts/check-pe.sh <file.dll> <file.def>
set -euo pipefail
dll="$1"
def="$2"
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
[ "$bad" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
