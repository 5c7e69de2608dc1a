#!/usr/bin/env bash
# Runs one test executable under Wine. Wine's exit code is unreliable (cut to
# 8 bits, and 0 has been seen for a crash), so a test counts as passed only
# when the executable printed its final marker with status 0.
# Usage: scripts/run-wine-test.sh <build-dir> <exe> [args...]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/wine-env.sh" "$1"
shift
exe="$1"
shift
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
$WINE "$exe" "$@" 2>&1 | tr -d '\r' | tee "$log"
rc=${PIPESTATUS[0]}
if grep -q '^WARDLINE-TEST-EXIT 0$' "$log"; then
    exit 0
fi
if ! grep -q '^WARDLINE-TEST-EXIT ' "$log"; then
    echo "run-wine-test: $(basename "$exe") ended without its final marker (wine exit $rc): crashed or was killed" >&2
fi
exit 1
