#!/usr/bin/env bash
# Benchmark of updater.exe under Wine against what the platform itself allows, in the same Wine
# prefix and the same run, and against the usual Linux tools:
#   a. the updater's fixed cost: a whole run with an empty manifest (process start, manifest
#      download, message box);
#   b. downloading a fully stale pack: the updater (whole run, and net of its fixed cost), the
#      download recipe (bench/recipes.exe: WinINet with the updater's flags and 4 KiB reads, one
#      Wine process, no window) over the same URLs, and curl fetching them one after another;
#   c. verifying the same pack, now current: the updater net of its fixed cost, the MD5 recipe
#      (CryptoAPI, 4 KiB reads, one context for all files) and md5sum -c;
#   d. many small files (a current pack of 1 KiB files): the updater's cost per file net of its
#      fixed cost, against the MD5 recipe and md5sum -c per file;
#   e. the same small files, all missing: the updater's cost per downloaded file net of its fixed
#      cost, against the download recipe per file;
#   f. peak working set of the updater, files of 1 MiB against one large file, in a download run
#      and in a verification run;
#   g. verifying a large current pack (four times the pack of b, in as many files): the updater
#      net of its fixed cost against the MD5 recipe, which uses one core, and md5sum -c.
# The packs are served by nginx on 127.0.0.1 from a private configuration. The updater's message
# box is answered by scripts/drive_updater.exe (in --timing mode), which also times the run
# (process start to the box: the answer and the exit are not counted) and samples the peak
# working set every 10 ms. The
# recipes time their own work inside their process. Every repetition measures a to e and g in
# that order: a by three runs (it is short and varies most), c twice, each after one more run of
# a; an updater time net of its fixed cost is its median less the median of a.
# Prints a table of medians; it is a measurement, not a test, and has no pass mark.
#
# usage: bench/run.sh [--files N] [--total-mib N] [--small-files N] [--big-mib N] [--reps N]
#                     [--mem-reps N] [--build DIR]
#   --files        files in the pack of b and c (default 64); also the count of 1 MiB files in f
#   --total-mib    size of that pack in MiB, shared evenly (default 256); g's pack is four times as large
#   --small-files  1 KiB files in the packs of d and e (default 2000)
#   --big-mib      size of the single large file of f in MiB (default: --total-mib)
#   --reps         repetitions of a to e and g (default 3; each runs a five times and c twice)
#   --mem-reps     repetitions of f (default 1: the peak varies by well under 1% between runs)
#   --build        build folder of the benchmark's updater (default /tmp/build-bench)
set -euo pipefail

files=64
total_mib=256
small_files=2000
big_mib=
reps=3
mem_reps=1
build=/tmp/build-bench
usage() { sed -n '/^# usage:/,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case "$1" in
        --files) files=$2 ;;
        --total-mib) total_mib=$2 ;;
        --small-files) small_files=$2 ;;
        --big-mib) big_mib=$2 ;;
        --reps) reps=$2 ;;
        --mem-reps) mem_reps=$2 ;;
        --build) build=$2 ;;
        *) usage ;;
    esac
    shift 2
done
big_mib=${big_mib:-$total_mib}
for n in "$files" "$total_mib" "$small_files" "$big_mib" "$reps" "$mem_reps"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "bench/run.sh: counts must be positive integers" >&2; exit 2; }
done

repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/setup.sh"
# shellcheck source=../scripts/lib.sh
. "$repo/scripts/lib.sh"
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
ms_since() { local t1; t1=$(now_us); printf '%s' $(((t1 - $1) / 1000)); }
results=$work/results.tsv  # measure <TAB> repetition <TAB> value
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"; }

# start_nginx DOC_ROOT WORK_DIR: serves DOC_ROOT on 127.0.0.1 from a private configuration in
# WORK_DIR; sets NGINX_PORT.
start_nginx() {
    local root=$1 work=$2 user_line=
    mkdir -p "$work/tmp"
    # As root nginx hands requests to an unprivileged worker that could not read private folders.
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    for _ in 1 2 3 4 5; do
        NGINX_PORT=$(free_port)
        cat >"$work/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    types { text/xml xml; }
    default_type application/octet-stream;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $root;
    }
}
CONF
        nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" </dev/null >/dev/null 2>&1 &
        NGINX_PID=$!
        for _ in $(seq 50); do
            if curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/"; then
                STARTED_PIDS+=("$NGINX_PID")  # stop_started stops it
                return 0
            fi
            kill -0 "$NGINX_PID" 2>/dev/null || break
            sleep 0.1
        done
        # Most likely the port was taken between the probe and the bind: try another one.
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    done
    echo "nginx did not start; its log:" >&2
    cat "$work/error.log" >&2 2>/dev/null || true
    return 1
}

bench_started=$(now_us)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
note "load before: $load_before"

# make_pack DIR COUNT BYTES: COUNT files of random bytes, spread over four folders.
make_pack() {
    python3 - "$@" <<'PY'
import os, sys
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
width = max(3, len(str(count)))
for i in range(1, count + 1):
    folder = os.path.join(root, "set-%d" % (i % 4 + 1))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "livery-%0*d.dds" % (width, i)), "wb") as out:
        left = size
        while left:
            n = min(left, 1 << 20)
            out.write(os.urandom(n))
            left -= n
PY
}

www=$work/www
mkdir -p "$www/DIR_Ovuduza" "$work/manifests"
file_bytes=$((total_mib * 1048576 / files))
pack_bytes=$((file_bytes * files))
large_bytes=$((4 * file_bytes))
note "making the packs: $files x $((file_bytes / 1024)) KiB, $files x $((large_bytes / 1024)) KiB, $small_files x 1 KiB, $files x 1 MiB, 1 x $big_mib MiB"
make_pack "$www/pack" "$files" "$file_bytes"
make_pack "$www/large" "$files" "$large_bytes"
make_pack "$www/tiny" "$small_files" 1024
make_pack "$www/small" "$files" 1048576
make_pack "$www/big" 1 $((big_mib * 1048576))

start_nginx "$www" "$work/nginx"
base=http://127.0.0.1:$NGINX_PORT
for pack in pack large tiny small big; do
    python3 "$repo/tools/mkmanifest.py" build "$www/$pack" --base-url "$base/$pack/" \
        -o "$work/manifests/$pack.xml"
done
printf '<?xml version="1.0" encoding="UTF-8"?>\n<update version="1.0"/>\n' >"$work/manifests/empty.xml"
# The URL is compiled into the updater; each step serves its own manifest under it.
serve_manifest() { cp "$work/manifests/$1.xml" "$www/DIR_Ovuduza/manifest_ZIR.xml"; }

note "building updater.exe in $build"
build_programs "$build" "$base/DIR_Ovuduza/manifest_ZIR.xml" updater drive_updater recipes
start_xvfb "$work/xvfb"
use_prefix "$build"
updater_exe=$(windows_path "$build/bin/updater.exe")
work_win=$(windows_path "$work")

# drive PLAYER_DIR EXPECTED_BOX: one whole updater run; sets BOX_MS and PEAK_KIB.
drive() {
    local player=$1 expected=$2 out=$work/drive.txt
    mkdir -p "$player"
    # In the background: a signal then stops the benchmark at once, not after a long download.
    wine "$build/helpers/drive_updater.exe" --timing --timeout-s 1800 "$updater_exe" "$(windows_path "$player")" \
        >"$out" 2>/dev/null &
    wait $!
    local box
    box=$(report_value "$out" box text)
    if [ "$box" != "$expected" ]; then
        note "updater run in $player ended with box \"$box\", expected \"$expected\"; its log:"
        tr -d '\r' <"$player/Updater/log_updater.lst" >&2 || true
        exit 1
    fi
    BOX_MS=$(report_value "$out" box ms)
    PEAK_KIB=$(report_value "$out" exit peak_kib)
}

# recipe MODE LISTFILE [DIGESTFILE]: one run of recipes.exe; sets RECIPE_MS and RECIPE_BYTES.
recipe() {
    local out=$work/recipe.txt status=0 args=("$1" "$(windows_path "$2")")
    [ $# -lt 3 ] || args+=("$(windows_path "$3")")
    wine "$build/helpers/recipes.exe" "${args[@]}" >"$out" 2>"$work/recipe.err" &
    wait $! || status=$?
    RECIPE_MS=$(sed -n 's/^ms=//p' "$out")
    RECIPE_BYTES=$(sed -n 's/^bytes=//p' "$out")
    if [ "$status" -ne 0 ] || [ -z "$RECIPE_MS" ]; then
        note "recipes.exe $1 failed (status $status):"
        cat "$work/recipe.err" >&2
        exit 1
    fi
}

# expect_same WHAT ACTUAL EXPECTED: stops the benchmark when a yardstick did other work.
expect_same() {
    [ "$2" = "$3" ] || { note "$1: got $2, expected $3"; exit 1; }
}

# list_pack NAME: the pack's relative paths (sorted), and its digests for md5sum -c.
list_pack() {
    (cd "$www/$1" && find . -type f -printf '%P\n' | sort) >"$work/$1.list"
    (cd "$www/$1" && xargs -d '\n' md5sum <"$work/$1.list") >"$work/$1.md5"
}
# md5_list NAME FOLDER: the recipe's input, the pack's files in FOLDER (below $work) as Windows paths.
md5_list() {
    local f
    while read -r f; do printf '%s\\%s\\%s\n' "$work_win" "$2" "${f//\//\\}"; done <"$work/$1.list" \
        >"$work/$1.md5-recipe.list"
}

# md5_yardsticks NAME FOLDER BYTES MEASURE REPETITION: the MD5 recipe (whose digests must be
# md5sum's) and md5sum -c over the pack NAME's files in FOLDER (below $work).
md5_yardsticks() {
    recipe md5 "$work/$1.md5-recipe.list" "$work/digests.txt"
    expect_same "MD5 recipe, bytes" "$RECIPE_BYTES" "$3"
    cut -c1-32 "$work/$1.md5" | cmp -s - "$work/digests.txt" || { note "MD5 recipe: digests differ from md5sum's"; exit 1; }
    record "$4.recipe" "$5" "$RECIPE_MS"
    local t0
    t0=$(now_us)
    (cd "$work/$2" && md5sum -c --quiet "$work/$1.md5")
    record "$4.md5sum" "$5" "$(ms_since "$t0")"
}

# Warm-up: Wine's helper processes start with the first program, not inside a measurement.
serve_manifest empty
drive "$work/empty" "Pas de mise à jour."
record peak.empty.verify 1 "$PEAK_KIB"  # what Wine and the program take before any file

# b and c: the pack's URLs for curl and the download recipe, its digests for md5sum -c.
list_pack pack
while read -r f; do printf 'url = "%s/pack/%s"\noutput = "%s/curl/%s"\n' "$base" "$f" "$work" "$f"; done \
    <"$work/pack.list" >"$work/curl.conf"
while read -r f; do printf '%s/pack/%s\t%s\\recipe\\%s\n' "$base" "$f" "$work_win" "${f//\//\\}"; done \
    <"$work/pack.list" >"$work/download-recipe.list"
md5_list pack player

# d: a current player folder, as a finished run leaves it (the pack and the manifest), and one
# run that must find nothing to do.
list_pack tiny
md5_list tiny player-tiny
cp -a "$www/tiny" "$work/player-tiny"
mkdir -p "$work/player-tiny/Updater"
cp "$work/manifests/tiny.xml" "$work/player-tiny/Updater/manifest.xml"
# e: the same files fetched by the download recipe.
while read -r f; do printf '%s/tiny/%s\t%s\\recipe-tiny\\%s\n' "$base" "$f" "$work_win" "${f//\//\\}"; done \
    <"$work/tiny.list" >"$work/tiny-download-recipe.list"
serve_manifest tiny
drive "$work/player-tiny" "Pas de mise à jour."
# g: the large pack, current; hard links, so it is in the page cache once.
list_pack large
md5_list large player-large
cp -al "$www/large" "$work/player-large"
mkdir -p "$work/player-large/Updater"
cp "$work/manifests/large.xml" "$work/player-large/Updater/manifest.xml"

for ((r = 1; r <= reps; r++)); do
    note "repetition $r of $reps: fixed cost; download: updater, recipe, curl; verification: updater, recipe, md5sum; $small_files small files: verification (updater, recipe, md5sum), download (updater, recipe); large pack: verification (updater, recipe, md5sum)"
    # Nothing left to write back from the previous repetition while this one is timed.
    sync

    serve_manifest empty
    for k in 1 2 3; do
        drive "$work/empty" "Pas de mise à jour."
        record fixed.updater "$((5 * r - 5 + k))" "$BOX_MS"
    done

    serve_manifest pack
    rm -rf "$work/player" "$work/curl" "$work/recipe"
    drive "$work/player" "Mise à jour terminée."
    record download.updater "$r" "$BOX_MS"
    record peak.pack.download "$r" "$PEAK_KIB"

    # The recipe creates files only: its folders are made beforehand.
    (cd "$www/pack" && find . -type d -printf "$work/recipe/%P\n") | xargs -d '\n' mkdir -p
    sync
    recipe download "$work/download-recipe.list"
    expect_same "download recipe, bytes" "$RECIPE_BYTES" "$pack_bytes"
    record download.recipe "$r" "$RECIPE_MS"
    if [ "$r" -eq 1 ]; then
        (cd "$work/recipe" && md5sum -c --quiet "$work/pack.md5") || { note "download recipe: wrong files"; exit 1; }
    fi

    sync
    t0=$(now_us)
    curl -sS --fail --create-dirs -K "$work/curl.conf"
    record download.curl "$r" "$(ms_since "$t0")"

    # Twice, each time after a fixed-cost run of its own: the verification is short, so the
    # fixed cost's spread would otherwise weigh on it.
    sync
    for k in 1 2; do
        serve_manifest empty
        drive "$work/empty" "Pas de mise à jour."
        record fixed.updater "$((5 * r - 2 + k))" "$BOX_MS"
        serve_manifest pack
        drive "$work/player" "Pas de mise à jour."
        record verify.updater "$((2 * r - 2 + k))" "$BOX_MS"

        md5_yardsticks pack player "$pack_bytes" verify "$((2 * r - 2 + k))"
    done

    serve_manifest tiny
    drive "$work/player-tiny" "Pas de mise à jour."
    record tiny.updater "$r" "$BOX_MS"

    md5_yardsticks tiny player-tiny $((small_files * 1024)) tiny "$r"

    rm -rf "$work/player-tinydl" "$work/recipe-tiny"
    drive "$work/player-tinydl" "Mise à jour terminée."
    record tinydl.updater "$r" "$BOX_MS"
    (cd "$www/tiny" && find . -type d -printf "$work/recipe-tiny/%P\n") | xargs -d '\n' mkdir -p
    sync
    recipe download "$work/tiny-download-recipe.list"
    expect_same "download recipe, bytes" "$RECIPE_BYTES" $((small_files * 1024))
    record tinydl.recipe "$r" "$RECIPE_MS"

    serve_manifest large
    drive "$work/player-large" "Pas de mise à jour."
    record large.updater "$r" "$BOX_MS"
    md5_yardsticks large player-large $((files * large_bytes)) large "$r"
done
rm -rf "$work/player" "$work/curl" "$work/recipe" "$work/player-tiny" "$work/player-tinydl" "$work/recipe-tiny" \
    "$work/player-large"

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

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
note "load after: $load_after"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
machine="$(nproc) cores, $cpu; $(wine --version)"
elapsed_s=$((($(now_us) - bench_started) / 1000000))
python3 - "$results" "$files" "$file_bytes" "$small_files" "$big_mib" "$reps" "$mem_reps" \
    "$machine" "$load_before" "$load_after" "$elapsed_s" "$(nproc)" <<'PY'
import statistics, sys
from collections import defaultdict

path, files, file_bytes, small_files, big_mib, reps, mem_reps = sys.argv[1], *map(int, sys.argv[2:8])
machine, load_before, load_after, elapsed_s, cores = sys.argv[8:]
pack_mib = files * file_bytes / 1048576
large_mib = 4 * pack_mib
values = defaultdict(dict)  # measure -> repetition -> milliseconds or KiB
for line in open(path):
    measure, rep, value = line.rstrip("\n").split("\t")
    values[measure][int(rep)] = float(value)
med = {m: statistics.median(v.values()) for m, v in values.items()}
for step in ("download", "verify", "tiny", "tinydl", "large"):
    med[step + ".net"] = med[step + ".updater"] - med["fixed.updater"]

def runs(measure):
    return ", ".join("%.3f" % (values[measure][r] / 1000) for r in sorted(values[measure]))

def seconds(ms):
    return "%.*f s" % (3 if ms < 10000 else 2, ms / 1000)

def throughput(ms, mib=pack_mib):
    if ms <= 0:
        return "-"
    rate = mib / (ms / 1000)
    return "%.*f MiB/s" % (2 if rate < 10 else 1 if rate < 100 else 0, rate)

def per_file(ms):
    return "%.3f ms" % (ms / small_files)

def ratio(ours, theirs):
    return "%.1fx" % (ours / theirs) if ours > 0 and theirs > 0 else "-"

title = "%-49s %10s %13s %9s"
row = "   %-46s %10s %13s %9s"

# One step: the updater's whole run and net time, then each yardstick with the updater's ratio.
def step(heading, columns, first, second, prefix, yardsticks, footnote=None):
    print()
    print(title % (heading, columns[0], columns[1], "ratio"))
    print(row % ("updater.exe, whole run", first(med[prefix + ".updater"]), second(med[prefix + ".updater"]), ""))
    ours = med[prefix + ".net"]
    print(row % ("updater.exe, net of its fixed cost", first(ours), second(ours), ""))
    for label, short, measure in yardsticks:
        print(row % (label, first(med[measure]), second(med[measure]), ratio(ours, med[measure])))
    print("   runs (s): updater %s; %s" % (runs(prefix + ".updater"),
                                           "; ".join("%s %s" % (short, runs(m)) for _, short, m in yardsticks)))
    if footnote:
        print("   " + footnote)

print()
print("Machine: " + machine)
print("Load average (1, 5, 15 min): before %s, after %s" % (load_before, load_after))
print("Run: %s s in all; medians of %d repetition%s" % (elapsed_s, reps, "" if reps == 1 else "s"))
print("ratio = updater.exe's time (net of its fixed cost) / the other's time for the same work:")
print("1.0x is as fast, 10x takes ten times as long. Throughput = pack size / time.")
print()
print("a. updater.exe fixed cost (whole run, empty manifest), median: %s; runs (s): %s"
      % (seconds(med["fixed.updater"]), runs("fixed.updater")))
step("b. download a fully stale pack, %d x %d KiB" % (files, file_bytes // 1024), ("time", "throughput"),
     seconds, throughput, "download", (
         ("recipe: WinINet, 4 KiB reads, one process", "recipe", "download.recipe"),
         ("curl, the same URLs one after another", "curl", "download.curl")),
     "(the updater's run also checks each file after its download: about c's net time)")
step("c. verify the same pack, now current", ("time", "throughput"), seconds, throughput, "verify", (
    ("recipe: CryptoAPI MD5, 4 KiB reads, one process", "recipe", "verify.recipe"),
    ("md5sum -c", "md5sum", "verify.md5sum")))
step("d. %d current files of 1 KiB" % small_files, ("per file", "all files"), per_file, seconds, "tiny", (
    ("recipe: CryptoAPI MD5, one context for all", "recipe", "tiny.recipe"),
    ("md5sum -c", "md5sum", "tiny.md5sum")))
step("e. the same %d files, all missing" % small_files, ("per file", "all files"), per_file, seconds, "tinydl", (
    ("recipe: WinINet, one session for all", "recipe", "tinydl.recipe"),),
     "(the updater's run also checks each file after its download: about d's net time)")
step("g. verify a large current pack, %d x %d KiB" % (files, 4 * file_bytes // 1024), ("time", "throughput"),
     seconds, lambda ms: throughput(ms, large_mib), "large", (
         ("recipe: CryptoAPI MD5 on one core", "recipe", "large.recipe"),
         ("md5sum -c", "md5sum", "large.md5sum")),
     "(speed against the one-core recipe: %.2fx, on %s cores)"
     % (med["large.recipe"] / med["large.net"] if med["large.net"] > 0 else float("nan"), cores))

print()
mib = lambda measure: "%.1f MiB" % (med[measure] / 1024)
row = "   %-46s %10s %10s"
print("%-49s %10s %10s" % ("f. peak working set of updater.exe (%d run%s)"
                           % (mem_reps, "" if mem_reps == 1 else "s"),
             "download", "verify"))
print(row % ("empty manifest", "-", mib("peak.empty.verify")))
print(row % ("%d x 1 MiB files" % files, mib("peak.small.download"), mib("peak.small.verify")))
print(row % ("1 x %d MiB file" % big_mib, mib("peak.big.download"), mib("peak.big.verify")))
print(row % ("%d x %d KiB files (b)" % (files, file_bytes // 1024), mib("peak.pack.download"), "-"))
print(row % ("ratio, large file / small files",
             "%.2fx" % (med["peak.big.download"] / med["peak.small.download"]),
             "%.2fx" % (med["peak.big.verify"] / med["peak.small.verify"])))
PY
