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
trap 'rm -f "$log" "$log.raw"' EXIT
# Output goes to a file, not a pipe: services Wine starts on the way inherit
# the output handles and would keep a pipe open after the test ended.
# A run that does not end is stopped here, shortly before ctest would kill
# this script and lose what the run printed: where it stood is the clue.
limit="${WARDLINE_TEST_LIMIT:-590}"
timeout --kill-after=10 "$limit" $WINE "$exe" "$@" >"$log.raw" 2>&1 </dev/null
rc=$?
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    echo "run-wine-test: $(basename "$exe") did not end within $limit s and was stopped; what it printed:" >&2
fi
tr -d '\r' <"$log.raw" >"$log"
rm -f "$log.raw"
cat "$log"
if grep -q '^WARDLINE-TEST-EXIT 0$' "$log"; then
    exit 0
fi
if ! grep -q '^WARDLINE-TEST-EXIT ' "$log"; then
    echo "run-wine-test: $(basename "$exe") ended without its final marker (wine exit $rc): crashed or was killed" >&2
fi
exit 1
