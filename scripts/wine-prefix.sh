#!/usr/bin/env bash
# Creates the build's Wine prefix once and prepares it for the tests.
# Usage: scripts/wine-prefix.sh <build-dir>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh" "$1"

if [ ! -f "$WINEPREFIX/.wardline-ready" ]; then
    echo "wine: creating prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || $WINE wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.wardline-ready"
fi

# Later steps (certificates, registered components) hook in here; each is
# idempotent and keyed on its own marker.
for step in "$here"/prefix.d/*.sh; do
    [ -e "$step" ] || continue
    bash "$step" "$1"
done
