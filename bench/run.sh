#!/usr/bin/env bash
# Benchmark of updater.exe under Wine against the obvious yardsticks, side by side:
#   1. verifying a current pack (the whole "no update required" run) against md5sum -c;
#   2. downloading a fully stale pack (the whole run) against one curl fetching the same URLs
#      one after another;
#   3. peak working set of the updater with 1 MiB files and with one 1 GiB file.
# The pack is served by nginx on 127.0.0.1 from a private configuration. The updater's message
# box is answered by bench/drive_updater.exe, which also times the run (process start to the box:
# the answer and the exit are not counted) and samples the peak working set every 10 ms.
# Prints a table of medians; it is a measurement, not a test, and has no pass mark.
#
# usage: bench/run.sh [--files N] [--total-mib N] [--big-mib N] [--reps N] [--mem-reps N] [--build DIR]
#   --files      files in the pack (default 64); also the count of 1 MiB files in step 3
#   --total-mib  size of the pack in MiB, shared evenly (default 1024)
#   --big-mib    size of the single large file of step 3 in MiB (default 1024)
#   --reps       repetitions of steps 1 and 2 (default 3)
#   --mem-reps   repetitions of step 3 (default 1: the peak varies by well under 1% between runs)
#   --build      build folder of the benchmark's updater (default /tmp/build-bench)
set -euo pipefail

files=64
total_mib=1024
big_mib=1024
reps=3
mem_reps=1
build=/tmp/build-bench
usage() { sed -n '12,18s/^# \{0,1\}//p' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case "$1" in
        --files) files=$2 ;;
        --total-mib) total_mib=$2 ;;
        --big-mib) big_mib=$2 ;;
        --reps) reps=$2 ;;
        --mem-reps) mem_reps=$2 ;;
        --build) build=$2 ;;
        *) usage ;;
    esac
    shift 2
done
for n in "$files" "$total_mib" "$big_mib" "$reps" "$mem_reps"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "bench/run.sh: counts must be positive integers" >&2; exit 2; }
done

repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/setup.sh"
# shellcheck source=common.sh
. "$repo/bench/common.sh"
work=$(mktemp -d /tmp/livery-bench.XXXXXX)
cleanup() {
    stop_started
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

note() { printf '%s\n' "$*" >&2; }
# Microseconds of the wall clock, without starting a process.
now_us() { printf '%s' "${EPOCHREALTIME//[!0-9]/}"; }
results=$work/results.tsv  # measure <TAB> repetition <TAB> value
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"; }

note "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# make_pack DIR COUNT BYTES: COUNT files of random bytes, spread over four folders.
make_pack() {
    local dir=$1 count=$2 bytes=$3 i
    for ((i = 1; i <= count; i++)); do
        local sub=$dir/set-$((i % 4 + 1))
        mkdir -p "$sub"
        head -c "$bytes" /dev/urandom >"$(printf '%s/livery-%03d.dds' "$sub" "$i")"
    done
}

www=$work/www
mkdir -p "$www/DIR_Ovuduza" "$work/manifests"
note "making the packs: $files x $((total_mib * 1024 / files)) KiB, $files x 1 MiB, 1 x $big_mib MiB"
make_pack "$www/pack" "$files" $((total_mib * 1048576 / files))
make_pack "$www/small" "$files" 1048576
make_pack "$www/big" 1 $((big_mib * 1048576))

start_nginx "$www" "$work/nginx"
base=http://127.0.0.1:$NGINX_PORT
for pack in pack small big; do
    python3 "$repo/tools/mkmanifest.py" build "$www/$pack" --base-url "$base/$pack/" \
        -o "$work/manifests/$pack.xml"
done
printf '<?xml version="1.0" encoding="UTF-8"?>\n<update version="1.0"/>\n' >"$work/manifests/empty.xml"
# The URL is compiled into the updater; each step serves its own manifest under it.
serve_manifest() { cp "$work/manifests/$1.xml" "$www/DIR_Ovuduza/manifest_ZIR.xml"; }

note "building updater.exe in $build"
build_updater "$build" "$base/DIR_Ovuduza/manifest_ZIR.xml"
build_driver "$build/bin/drive_updater.exe"
start_xvfb "$work/xvfb"
saved_display=$DISPLAY
WINEPREFIX=$build/wineprefix wineserver -k >/dev/null 2>&1 || true
use_prefix "$build"
export DISPLAY=$saved_display
updater_exe=$(windows_path "$build/bin/updater.exe")

# drive PLAYER_DIR EXPECTED_BOX: one whole updater run; sets BOX_MS and PEAK_KIB.
drive() {
    local player=$1 expected=$2 out=$work/drive.txt
    mkdir -p "$player"
    # In the background: a signal then stops the benchmark at once, not after a long download.
    wine "$build/bin/drive_updater.exe" --timeout-s 1800 "$updater_exe" "$(windows_path "$player")" \
        >"$out" 2>/dev/null &
    wait $!
    local box
    box=$(sed -n 's/^box_text=//p' "$out")
    if [ "$box" != "$expected" ]; then
        note "updater run in $player ended with box \"$box\", expected \"$expected\"; its log:"
        tr -d '\r' <"$player/Updater/log_updater.lst" >&2 || true
        exit 1
    fi
    BOX_MS=$(sed -n 's/^box_ms=//p' "$out")
    PEAK_KIB=$(sed -n 's/^peak_kib=//p' "$out")
}

ms_since() { local t1; t1=$(now_us); printf '%s' $(((t1 - $1) / 1000)); }

# Warm-up: Wine's helper processes start with the first program, not inside a measurement.
serve_manifest empty
drive "$work/warmup" "Pas de mise à jour."
record peak.empty.verify 1 "$PEAK_KIB"  # what Wine and the program take before any file

# Yardstick inputs: the pack's URLs for curl, its digests for md5sum -c.
(cd "$www/pack" && find . -type f -printf '%P\n' | sort) >"$work/pack.list"
while read -r f; do printf 'url = "%s/pack/%s"\noutput = "%s/curl/%s"\n' "$base" "$f" "$work" "$f"; done \
    <"$work/pack.list" >"$work/curl.conf"
(cd "$www/pack" && xargs -d '\n' md5sum <"$work/pack.list") >"$work/pack.md5"

serve_manifest pack
for ((r = 1; r <= reps; r++)); do
    note "repetition $r of $reps: download, curl, verification, md5sum"
    rm -rf "$work/player" "$work/curl"
    drive "$work/player" "Mise à jour terminée."
    record download.updater "$r" "$BOX_MS"
    record peak.pack.download "$r" "$PEAK_KIB"

    t0=$(now_us)
    curl -sS --fail --create-dirs -K "$work/curl.conf"
    record download.curl "$r" "$(ms_since "$t0")"

    drive "$work/player" "Pas de mise à jour."
    record verify.updater "$r" "$BOX_MS"

    t0=$(now_us)
    (cd "$work/player" && md5sum -c --quiet "$work/pack.md5")
    record verify.md5sum "$r" "$(ms_since "$t0")"
done
rm -rf "$work/player" "$work/curl"

for size in small big; do
    serve_manifest "$size"
    for ((r = 1; r <= mem_reps; r++)); do
        note "repetition $r of $mem_reps: peak memory, $size files"
        rm -rf "$work/player-$size"
        drive "$work/player-$size" "Mise à jour terminée."
        record "peak.$size.download" "$r" "$PEAK_KIB"
        drive "$work/player-$size" "Pas de mise à jour."
        record "peak.$size.verify" "$r" "$PEAK_KIB"
    done
    rm -rf "$work/player-$size"
done

note "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
python3 - "$results" "$files" "$total_mib" "$big_mib" "$reps" "$mem_reps" "$(nproc)" "$cpu" "$(wine --version)" <<'PY'
import statistics, sys
from collections import defaultdict

path, files, total_mib, big_mib, reps, mem_reps, cores, cpu, wine = sys.argv[1:]
files, total_mib, big_mib = int(files), int(total_mib), int(big_mib)
values = defaultdict(list)
for line in open(path):
    measure, _, value = line.rstrip("\n").split("\t")
    values[measure].append(float(value))
med = {m: statistics.median(v) for m, v in values.items()}
runs = {m: ", ".join("%.2f" % (x / 1000) for x in v) for m, v in values.items()}

print()
print("Machine: %s cores, %s; %s" % (cores, cpu, wine))
print("Pack: %d files, %d MiB; medians of %s repetitions" % (files, total_mib, reps))
print()
row = "%-36s %12s   %-10s %10s %8s"
print(row % ("", "updater.exe", "yardstick", "", "ratio"))
for name, ours, theirs, label in (
        ("1. verify current pack", "verify.updater", "verify.md5sum", "md5sum -c"),
        ("2. download stale pack", "download.updater", "download.curl", "curl")):
    a, b = med[ours] / 1000, med[theirs] / 1000
    print(row % (name, "%.2f s" % a, label, "%.2f s" % b, "%.1fx" % (a / b)))
    rate = lambda seconds: "%.*f MiB/s" % (1 if total_mib / seconds < 10 else 0, total_mib / seconds)
    print(row % ("   throughput", rate(a), "", rate(b), ""))
    print("   runs (s): updater %s; %s %s" % (runs[ours], label, runs[theirs]))
print()
mib = lambda key: "%.1f MiB" % (med[key] / 1024)
row = "%-36s %12s   %10s"
print(row % ("3. peak working set (%s run%s)" % (mem_reps, "" if mem_reps == "1" else "s"), "download", "verify"))
print(row % ("   empty manifest", "-", mib("peak.empty.verify")))
print(row % ("   %d x 1 MiB files" % files, mib("peak.small.download"), mib("peak.small.verify")))
print(row % ("   1 x %d MiB file" % big_mib, mib("peak.big.download"), mib("peak.big.verify")))
print(row % ("   %d x %d KiB files (step 2)" % (files, total_mib * 1024 // files), mib("peak.pack.download"), "-"))
print(row % ("   ratio, large file / small files",
             "%.2fx" % (med["peak.big.download"] / med["peak.small.download"]),
             "%.2fx" % (med["peak.big.verify"] / med["peak.small.verify"])))
PY
