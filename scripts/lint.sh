#!/usr/bin/env bash
# The second compiler's view of src/, host/ and tools/: a clang 14 build for
# the same target in build-clang/ (-Wall -Wextra, the thread-safety analysis,
# every warning an error; cmake/ClangChecks.cmake), then clang-tidy 14 with
# .clang-tidy over the same sources, every finding an error. Exits non-zero
# on the first of the two that finds anything. Tests and benchmarks are left
# to the GCC build.
# Usage: scripts/lint.sh [build-dir]     (LINT_JOBS: parallel jobs, default 2)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-clang}"
jobs="${LINT_JOBS:-2}"

"$root/scripts/bootstrap.sh"
missing=()
for p in clang-14 clang-tidy-14; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    echo "lint: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${WARDLINE_CMAKE_ARGS:-}
fi

start=$(date +%s)
cmake --build "$build" --target src/all host/all tools/all -- -j"$jobs"
built=$(date +%s)
echo "lint: clang build clean in $((built - start)) s"

# Every source of src/, host/ and tools/ in the compilation database, and the
# headers of those folders that they include.
mapfile -t sources < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, os, sys
database, root = sys.argv[1], os.path.realpath(sys.argv[2])
seen = set()
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    if relative.split(os.sep)[0] in ("src", "host", "tools") and path not in seen:
        seen.add(path)
        print(path)
PY
)
run-clang-tidy-14 -quiet -p "$build" -j "$jobs" \
    -header-filter="^$root/(src|host|tools)/" "${sources[@]}" > "$build/clang-tidy.log" 2>&1 || status=$?
# run-clang-tidy exits 0 for findings that are only warnings: judge by its log too.
if [ "${status:-0}" -ne 0 ] || grep -qE "(warning|error): " "$build/clang-tidy.log"; then
    grep -E -A3 "(warning|error): " "$build/clang-tidy.log" | grep -v "^Suppressed\|^Use -header-filter" || true
    echo "lint: clang-tidy found the above (full log: $build/clang-tidy.log)" >&2
    exit 1
fi
echo "lint: clang-tidy clean over ${#sources[@]} sources in $(( $(date +%s) - built )) s"
