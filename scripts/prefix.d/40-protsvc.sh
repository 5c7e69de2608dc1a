#!/usr/bin/env bash
# Registers the protection-manager service (protsvc.exe, a COM local server)
# and its proxy/stub in the build's prefix, where the tests and the demo run.
# Keyed on a marker that names the registered paths and the interfaces'
# definition, so a changed interface is registered again.
# Usage: scripts/prefix.d/40-protsvc.sh <build-dir>
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/wine-env.sh" "$1"
build="$(cd "$1" && pwd)"
exe="$build/host/protsvc/protsvc.exe"
ps="$build/host/protsvc/protsvc_ps.dll"
if [ ! -f "$exe" ] || [ ! -f "$ps" ]; then
    echo "protsvc: protsvc.exe not built yet; prefix step skipped"
    exit 0
fi
key="$( (echo "$exe"; cat "$here/../host/protsvc/idl/"*.idl) | md5sum | cut -c1-16)"
marker="$WINEPREFIX/.wardline-protsvc-$key"
if [ -f "$marker" ]; then
    exit 0
fi
winpath() { echo "Z:$(echo "$1" | tr '/' '\\')"; }
# Into a file, not a pipe: a Wine service started on the way would keep a
# pipe open.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! $WINE "$(winpath "$exe")" /RegServer >"$log" 2>&1 </dev/null || ! grep -q '^protsvc: registered' "$log"; then
    tr -d '\r' <"$log"
    echo "protsvc: registration failed" >&2
    exit 1
fi
tr -d '\r' <"$log"
rm -f "$WINEPREFIX"/.wardline-protsvc-*
touch "$marker"
