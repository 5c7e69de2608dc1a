#!/usr/bin/env bash
# make test: install what is missing, configure, build, and run every test
# executable under Wine with one persistent wineserver for the whole run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
source "$root/scripts/wine-session.sh"

cd "$build"
# The second build of the reproducibility check is a build's work, not a
# test's: it runs with make reproducible (and in CI), not in every make test.
ctest --output-on-failure --timeout 600 ${CTEST_ARGS:--LE reproducible}
