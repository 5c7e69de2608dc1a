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

"$root/scripts/bootstrap.sh" lint

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

# The compilation database of src/, host/ and tools/ alone: C and C++ sources
# (no resource scripts), each once, as its own target builds it (a test
# target that compiles a file of src/ again, with flags of its own, is left
# out).
mkdir -p "$build/tidy"
python3 - "$build/compile_commands.json" "$root" > "$build/tidy/compile_commands.json" <<'PY'
import json, os, re, sys
database, root = sys.argv[1], os.path.realpath(sys.argv[2])
kept, seen = [], set()
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    found = re.search(r" -o (\S+)", entry.get("command", ""))
    output = found.group(1) if found else ""
    if (relative.split(os.sep)[0] in ("src", "host", "tools") and relative.endswith((".c", ".cpp"))
            and not output.startswith("tests/") and path not in seen):
        seen.add(path)
        kept.append(entry)
json.dump(kept, sys.stdout, indent=1)
PY
count=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$build/tidy/compile_commands.json")

status=0
run-clang-tidy-14 -quiet -p "$build/tidy" -j "$jobs" -header-filter="^$root/(src|host|tools)/" \
    > "$build/clang-tidy.log" 2>&1 || status=$?
sed -i 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log"
# Judged by the log as well as the exit status: a finding in a header is
# reported with the first source that includes it.
if [ "$status" -ne 0 ] || grep -qE "(warning|error): " "$build/clang-tidy.log"; then
    grep -E -A3 "(warning|error): " "$build/clang-tidy.log" || true
    echo "lint: clang-tidy found the above (full log: $build/clang-tidy.log)" >&2
    exit 1
fi
echo "lint: clang-tidy clean over $count sources in $(( $(date +%s) - built )) s"
