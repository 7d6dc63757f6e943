#!/usr/bin/env bash
# Shows the whole job with one command: a sample livery pack is published with its manifest on a
# web server on 127.0.0.1, updater.exe brings a fresh player folder in line with it under Wine
# (progress dialog, run log), a second run finds nothing to do, and installer.exe registers the
# pack in a sample per-user root.
#
# usage: scripts/demo.sh [--headless]
#   With a reachable X display the dialog and message boxes show on it and you answer them.
#   Without one (or with --headless) the demo runs on an Xvfb of its own, answers the boxes itself
#   and saves a screenshot of the progress dialog.
# Build folder: build-demo/ (its own Wine prefix lives in build-demo/wineprefix).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-demo
headless=0
case "${1:-}" in
    --headless) headless=1 ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--headless]" >&2; exit 2 ;;
esac

started_at=$(date +%s)
step() { printf '\n== %s (%ss)\n' "$1" "$(($(date +%s) - started_at))"; }
show() { tr -d '\r' <"$1" | sed 's/^/    /'; }  # Windows text files, indented

bash "$repo/scripts/setup.sh"

# shellcheck source=../support/lib.sh
. "$repo/support/lib.sh"
check_32bit_code || exit 1
work=$(mktemp -d /tmp/livery-demo.XXXXXX)
cleanup() {
    stop_started
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine maps Unix file names through the locale's character set: the accented name needs UTF-8.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
    export LC_ALL=C.UTF-8
fi

display_reachable() {
    [ -n "${DISPLAY:-}" ] || return 1
    if command -v xdpyinfo >/dev/null; then
        xdpyinfo >/dev/null 2>&1
        return
    fi
    python3 "$repo/support/display_reachable.py"
}

step "Sample pack"
www=$work/www
pack=$www/pack
mkdir -p "$pack/Livrées" "$pack/F-16C/Escadron 2-5" "$pack/Mirage-2000C/EC 1-12" "$www/DIR_Ovuduza"
head -c 1200000 /dev/urandom >"$pack/Livrées/été.dds"
head -c 1500000 /dev/urandom >"$pack/F-16C/Escadron 2-5/fuselage.dds"
printf 'livery = {\n\t{"F16_bl50_Main_1", 0, "fuselage", false};\n}\nname = "Escadron 2-5"\n' \
    >"$pack/F-16C/Escadron 2-5/description.lua"
head -c 1000000 /dev/urandom >"$pack/Mirage-2000C/EC 1-12/fuselage.dds"
printf 'Sample livery pack for the demo.\n' >"$pack/LISEZMOI.txt"
(cd "$pack" && find . -type f -printf '    %P (%s bytes)\n' | sort)

step "Web server on 127.0.0.1"
base=http://127.0.0.1:$(free_port)
python3 "$repo/tools/mkmanifest.py" build "$pack" --base-url "$base/pack/" \
    -o "$www/DIR_Ovuduza/manifest_ZIR.xml"
# About 1 MB/s per response, so that the 3.7 MB pack keeps the progress dialog up a few seconds.
start_web_server "$www" "${base##*:}" slow:65536:64
echo "    support/http_server.py (pid ${STARTED_PIDS[-1]}) serves $base/DIR_Ovuduza/manifest_ZIR.xml:"
show "$www/DIR_Ovuduza/manifest_ZIR.xml"

step "Build updater.exe and installer.exe pointed at it (build-demo/)"
build_started=$(date +%s)
build_programs "$build" "$base/DIR_Ovuduza/manifest_ZIR.xml" updater installer drive_updater
echo "    built in $(($(date +%s) - build_started)) s (log: build-demo/build.log)"

if [ "$headless" -eq 0 ] && display_reachable; then
    mode=desktop
    echo "    display $DISPLAY: the dialog and the message boxes show there; answer them with OK"
else
    mode=headless
    start_xvfb "$work/xvfb"
    echo "    no display in use: own Xvfb on $DISPLAY (pid $(cat "$work/xvfb/pid")); boxes are answered automatically"
fi
new_prefix=0
[ -f "$build/wineprefix/.ready" ] || new_prefix=1
prefix_started=$(date +%s)
use_prefix "$build"
if [ "$new_prefix" -eq 1 ]; then
    echo "    made the Wine prefix build-demo/wineprefix in $(($(date +%s) - prefix_started)) s (first run only)"
fi

sample_root=$work/Saved\ Games
player=$sample_root/ZIR.VESK.Liveries
mkdir -p "$sample_root/ZIR/Config" "$sample_root/ZIR.openbeta" "$player"
updater_exe=$(windows_path "$build/bin/updater.exe")
screenshot=$build/demo-dialog.png

# run_updater LABEL: one run of updater.exe in the player folder; prints its log.
run_updater() {
    local label=$1 out=$work/drive-$1.txt status
    if [ "$mode" = desktop ]; then
        status=0
        # Its standard output holds only the line about making the Updater folder, written before
        # the log is opened; the demo shows the log.
        (cd "$player" && run_wine "$updater_exe" >/dev/null) || status=$?
        echo "    updater.exe ended with status $status"
    else
        : >"$out"
        run_wine "$build/helpers/drive_updater.exe" --timeout-s 120 "$updater_exe" "$(windows_path "$player")" \
            >"$out" 2>/dev/null &
        local driver=$! rect=
        if [ "$label" = first ]; then
            # Screenshot while the download runs: a second after the dialog shows.
            for _ in $(seq 200); do
                rect=$(report_value "$out" dialog rect)
                [ -n "$rect" ] && break
                kill -0 "$driver" 2>/dev/null || break
                sleep 0.05
            done
            if [ -n "$rect" ]; then
                sleep 1
                IFS=, read -r x y w h <<<"$rect"
                /usr/bin/import -display "$DISPLAY" -window root "$work/screen.png"
                /usr/bin/convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$screenshot"
            fi
        fi
        wait "$driver"
        report_value "$out" box text | tr -d '\r' | sed '1s/^/    message box (answered with OK): /;2,$s/^/        /'
        echo "    updater.exe ended with status $(report_value "$out" exit code)"
    fi
    echo "    Updater\\log_updater.lst:"
    show "$player/Updater/log_updater.lst"
}

step "First run: updater.exe in an empty player folder downloads the pack"
run_updater first
if [ "$mode" = headless ]; then
    if [ -s "$screenshot" ]; then
        echo "    screenshot of the progress dialog: $screenshot"
    else
        echo "    (the dialog closed before a screenshot could be taken)"
    fi
fi
echo "    player folder now holds:"
(cd "$player" && find . -type f -not -path './Updater/*' -printf '    %P (%s bytes)\n' | sort)
# The maintainers' tool compares the player folder with the published manifest.
check_status=0
python3 "$repo/tools/mkmanifest.py" check "$base/DIR_Ovuduza/manifest_ZIR.xml" --pack-dir "$player" \
    >"$work/check.txt" 2>&1 || check_status=$?
sed 's/^/    mkmanifest.py check: /' "$work/check.txt"
[ "$check_status" -eq 0 ] || echo "    (the player folder does not match the manifest: see the log above)"

step "Second run: nothing needs updating"
run_updater second

step "installer.exe in the per-user root (ZIR, ZIR.openbeta, ZIR.VESK.Liveries)"
(cd "$sample_root" && run_wine "$(windows_path "$build/bin/installer.exe")" 2>&1) | tr -d '\r' | sed 's/^/    /'
for edition in ZIR ZIR.openbeta; do
    printf '    %s\\Mods\\aircraft\\VIDA_Rorozira\\Entry.lua:\n' "$edition"
    show "$sample_root/$edition/Mods/aircraft/VIDA_Rorozira/Entry.lua"
done

echo
echo "Done in $(($(date +%s) - started_at)) s."
