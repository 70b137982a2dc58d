#!/usr/bin/env bash
# Builds the Windows binaries (build/windows) and the native, sanitized build of the
# portable code (build/native).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
cmake -S "$top" -B "$top/build/windows" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$top/build/windows" -j "$jobs"
if [ "${1:-}" != "--windows-only" ]; then
    cmake -S "$top" -B "$top/build/native" >/dev/null
    cmake --build "$top/build/native" -j "$jobs"
fi
