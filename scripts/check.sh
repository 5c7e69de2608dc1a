#!/usr/bin/env bash
# make check: the whole make test suite, a seeded fuzz run of every target and
# the demo, in the checked build (build-checked/: undefined-behaviour checks,
# the C++ library's assertions and the guard-page heap; cmake/Checked.cmake).
# A failed check stops its program with a report that names it (exit
# 0xC000001D for undefined behaviour, 0xC0000374 for the heap), which fails
# the test, the fuzz run or the demo that ran it.
#   FUZZ_SECONDS  seconds per fuzz target (default 15)
#   FUZZ_SEED     the fuzz run's seed (default 20261208: the same inputs in every run)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${CHECKED_BUILD_DIR:-$root/build-checked}"
export WARDLINE_CMAKE_ARGS="-DWARDLINE_CHECKED=ON ${WARDLINE_CMAKE_ARGS:-}"

# A folder configured before without the checks is configured again with them.
if [ -f "$BUILD_DIR/CMakeCache.txt" ] && ! grep -q '^WARDLINE_CHECKED:BOOL=ON' "$BUILD_DIR/CMakeCache.txt"; then
    cmake "$BUILD_DIR" -DWARDLINE_CHECKED=ON >/dev/null
fi

section() { printf '\n== %s\n' "$*"; }

section "make test, checked"
"$root/scripts/test.sh"

section "fuzz, every target, ${FUZZ_SECONDS:-15} s each"
FUZZ_SECONDS="${FUZZ_SECONDS:-15}" FUZZ_SEED="${FUZZ_SEED:-20261208}" "$root/tests/fuzz/run-fuzz.sh"

section "demo, checked"
"$root/scripts/demo.sh"
