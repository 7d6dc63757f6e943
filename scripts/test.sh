#!/usr/bin/env bash
# Sets up the machine when needed, configures, builds and runs every test with ctest: the 32-bit
# programs in a 32-bit prefix, in a 64-bit one under old WoW64 and (end-to-end) under new WoW64,
# and the 64-bit build of the same source in a 64-bit prefix. On a machine that runs no 32-bit code
# only the 64-bit build's tests can run: they do, and the last lines say that the shipped programs
# were not run.
# usage: scripts/test.sh [BUILD_DIR]   (default: build/; the 64-bit build goes to BUILD_DIR/x64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
build64=$build/x64

bash "$root/scripts/setup.sh"
# shellcheck source=../support/lib.sh
. "$root/support/lib.sh"
no_32bit=$(check_32bit_code 2>&1) || true  # one line, only when it cannot

status=0
# The display fixture stops Xvfb and the wineservers after the tests; this catches an interrupted run.
trap 'for b in "$build" "$build64"; do [ -d "$b" ] && bash "$root/support/lib.sh" build_display stop "$b" >/dev/null 2>&1; done; true' EXIT

if [ -z "$no_32bit" ]; then
    echo "== the 32-bit programs: 32-bit prefix, old and new WoW64"
    cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-i686.cmake" >/dev/null
    cmake --build "$build" -j"$(nproc)"
    ensure_new_wow64
    (cd "$build" && ctest --output-on-failure -j"$(nproc)") || status=1
else
    echo "$no_32bit" >&2
fi

echo "== the 64-bit build of the same source (a check of the source, not a build for players)"
mkdir -p "$build64"
cmake -S "$root" -B "$build64" --toolchain "$root/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build "$build64" -j"$(nproc)"
(cd "$build64" && ctest --output-on-failure -j"$(nproc)") || status=1

if [ -n "$no_32bit" ]; then
    echo "$no_32bit"
    echo "The shipped 32-bit programs were NOT run on this machine: only the 64-bit build's tests ran."
fi
exit $status
