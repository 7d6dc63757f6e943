#!/usr/bin/env bash
# Runs every test RUNS times in a row (default 10) while stress-ng keeps each core busy, and
# counts the failed runs: a test that can fail by chance on a busy machine shows up here.
# usage: scripts/loaded_runs.sh [RUNS] [BUILD_DIR]   (default: 10, build/; as root, like setup.sh)
# Each run's ctest output is kept in BUILD_DIR/loaded-runs/; exit status 1 when a run failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10}
build=${2:-$root/build}

bash "$root/scripts/setup.sh"
if ! command -v stress-ng >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends stress-ng >/dev/null
fi
# Built before the load starts: the runs time tests, not the compiler.
cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

logs=$build/loaded-runs
rm -rf "$logs"
mkdir -p "$logs"
stress-ng --cpu "$(nproc)" --quiet &
load=$!
trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM  # through the EXIT trap: the load never outlives the script

failed=0
for run in $(seq "$runs"); do
    if bash "$root/scripts/test.sh" "$build" >"$logs/run-$run.log" 2>&1; then
        echo "run $run: passed"
    else
        failed=$((failed + 1))
        echo "run $run: FAILED ($logs/run-$run.log)"
        grep -E '^(FAIL|ERROR):|\*\*\*Failed|\*\*\*Timeout' "$logs/run-$run.log" | sed 's/^/    /' || true
    fi
done
echo "$failed of $runs runs failed, with $(nproc) stress-ng workers on $(nproc) cores"
[ "$failed" -eq 0 ]
