#!/usr/bin/env bash
# make coverage: builds the tree in build-coverage/ (Debug, src/ with GCC's
# coverage counters), runs the whole test suite there under Wine, and reports
# lines and branches per folder of src/ with gcovr.
#
# Writes to <build>/coverage/: report.txt (the table printed at the end, with
# every file below 95 % of its lines and the lines it misses, the thin system
# forwards of src/wrappers apart), index.html (gcovr's HTML report: a page per
# file of src/, each line coloured by whether it ran, with its branches taken;
# green from 95 %, the target of report.txt), coverage.json (gcovr's data).
# Exits with the test suite's status: the report is written either way.
# Usage: scripts/coverage.sh   (COVERAGE_BUILD_DIR overrides the folder)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${COVERAGE_BUILD_DIR:-$root/build-coverage}"
out="$build/coverage"

"$root/scripts/bootstrap.sh" coverage

# Each object records the absolute path of its counters file. ccache must not
# hand out an object compiled in another folder, which would send the counters
# there.
unset CCACHE_NOHASHDIR
export CCACHE_HASHDIR=1

if [ -f "$build/CMakeCache.txt" ] && ! grep -qx 'WARDLINE_COVERAGE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "coverage: $build is configured without WARDLINE_COVERAGE; remove it or pick another folder" >&2
    exit 1
fi
BUILD_TYPE=Debug WARDLINE_CMAKE_ARGS=-DWARDLINE_COVERAGE=ON "$root/scripts/build.sh" "$build"

# Counters of an earlier run would be added to this one's.
find "$build" -name '*.gcda' -delete

# The counters' paths are Linux paths ("/work/.../x.gcda"). Wine 8 writes
# them beside their objects even from a process whose current folder is on C:
# (checked); Windows would resolve them on the current drive. Naming drive Z:
# (which maps /) keeps the place independent of that; the check below finds
# counters that went astray into the prefix all the same.
export GCOV_PREFIX=Z:
set +e
BUILD_DIR="$build" "$root/scripts/test.sh"
status=$?
set -e

stray="$(find "$build/wineprefix/drive_c" -name '*.gcda' 2>/dev/null | head -n 5)"
if [ -n "$stray" ]; then
    echo "coverage: counters were written inside the Wine prefix, not beside their objects:" >&2
    echo "$stray" >&2
    status=1
fi
if [ -z "$(find "$build/src" -name '*.gcda' | head -n 1)" ]; then
    echo "coverage: no counters were written under $build/src" >&2
    exit 1
fi

mkdir -p "$out"
rm -f "$out"/*.html
# One gcov at a time: gcovr 5.2 runs gcov in one folder, and two objects that
# include the same header write the same .gcov file there. A line gcov prints
# that gcovr cannot read is skipped with a warning rather than ending the run.
# Counters are looked for under src/ of the build and in the runtime probe
# (tests/runtime, which compiles src/dll/ThreadRuntime.cpp into a DLL of its
# own to force the runtime's hard cases; gcov adds its counts of that file to
# the module's), never the whole build: the build's Wine prefix links drive Z:
# to /, where other trees' counters would be found.
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
    --gcov-executable x86_64-w64-mingw32-gcov --gcov-ignore-parse-errors \
    --json "$out/coverage.json" --html-details "$out/index.html" \
    --html-title "Wardline: src/ covered by the test suite" --html-medium-threshold 75 --html-high-threshold 95 \
    "$build/src" "$build/tests/runtime"
python3 "$root/scripts/coverage-report.py" "$out/coverage.json" | tee "$out/report.txt"
echo "coverage: the HTML report (per file, lines and branches in colour; branches as GCC counts them,"
echo "          exception edges included) is $out/index.html"
exit "$status"
