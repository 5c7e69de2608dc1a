#!/usr/bin/env bash
# Prepares the prefix for the trust validator's tests, once per development
# PKI: the development roots go into the machine "Root" store and the script
# subject interface package is registered (Wine has none for "// SIG //"
# signed scripts). Keyed on a marker that names the root's thumbprint.
# Usage: scripts/prefix.d/30-trust.sh <build-dir>
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/wine-env.sh" "$1"
build="$(cd "$1" && pwd)"
pki="$build/pki"
setup="$build/host/scriptsip/trustsetup.exe"
sip="$build/host/scriptsip/scriptsip.dll"
if [ ! -f "$pki/root.sha1" ] || [ ! -f "$setup" ] || [ ! -f "$sip" ]; then
    echo "trust: development PKI or trustsetup.exe not built yet; prefix step skipped"
    exit 0
fi
marker="$WINEPREFIX/.wardline-trust-$(cat "$pki/root.sha1")"
if [ -f "$marker" ]; then
    exit 0
fi
winpath() { echo "Z:$(echo "$1" | tr '/' '\\')"; }
$WINE "$setup" root "$(winpath "$pki/root.der")" "$(winpath "$pki/otherroot.der")" | tr -d '\r'
$WINE "$setup" sip "$(winpath "$sip")" | tr -d '\r'
rm -f "$WINEPREFIX"/.wardline-trust-*
touch "$marker"
