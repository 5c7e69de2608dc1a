#!/usr/bin/env bash
# make fuzz: every fuzz target for as long as asked, with a seed from the
# clock unless one is given. A fault ends the run with the input written to
# tests/fuzz/corpus/<target>/ and the line that reproduces it.
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_SEED     seed (default: from the clock, printed)
#   FUZZ_TARGET   one target only (json, module, shim, cabinet, ...)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${BUILD_DIR:-$root/build}"
source "$root/scripts/wine-session.sh"

export WARDLINE_FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
if [ -n "${FUZZ_SEED:-}" ]; then
    export WARDLINE_FUZZ_SEED="$FUZZ_SEED"
fi
filter="*MutatedInputs*"
if [ -n "${FUZZ_TARGET:-}" ]; then
    filter="*MutatedInputs*/${FUZZ_TARGET}"
fi
"$root/scripts/run-wine-test.sh" "$build" "$build/tests/fuzz/fuzz_tests.exe" --gtest_filter="$filter"
