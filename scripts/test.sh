#!/usr/bin/env bash
# Sets up the machine when needed, configures, builds and runs every test with ctest.
# usage: scripts/test.sh [BUILD_DIR]   (default: build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The display fixture stops Xvfb and the wineserver after the tests; this catches an interrupted run.
trap 'bash "$root/support/lib.sh" build_display stop "$build" >/dev/null 2>&1 || true' EXIT
cd "$build"
ctest --output-on-failure -j"$(nproc)"
