#!/usr/bin/env bash
# Configures (once) and builds the whole tree with the mingw-w64 toolchain.
# Usage: scripts/build.sh [build-dir]
# (BUILD_TYPE and WARDLINE_CMAKE_ARGS apply when build-dir is configured.)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${WARDLINE_CMAKE_ARGS:-}
fi
cmake --build "$build" -- ${NINJA_ARGS:-}
ln -sf "$build/compile_commands.json" "$root/compile_commands.json" 2>/dev/null || true
