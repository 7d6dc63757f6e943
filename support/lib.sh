# shellcheck shell=bash
# What the demo, the bench and the tests share: the Wine prefix and environment of a build folder,
# an Xvfb of their own, web servers on loopback (support/http_server.py, nginx), building the
# programs and helpers, the driver's reports.
# Sourced by scripts; ctest and the bench run it as a command, naming one function and its
# arguments, e.g.
#   bash support/lib.sh wine_run BUILD_DIR PROGRAM [ARGS...]   (see wine_run, build_display)
#   bash support/lib.sh start_nginx DIR ROOT                   (stop_nginx DIR stops it)
# Whatever a sourcing script starts is recorded by process id and stopped by stop_started; such a
# script sets "trap stop_started EXIT" (or a cleanup that calls it) right after sourcing this file.

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=support/new_wow64.sh
source "$REPO_ROOT/support/new_wow64.sh"
STARTED_PIDS=()
XVFB_DIR=
STARTED_PREFIX=
STARTED_KIND=

# The kinds of Wine prefix a build folder's programs run in, chosen by WINE_KIND (default win32);
# each has a prefix folder of its own (no Wine reuses a prefix made for the other architecture):
#   win32     32-bit prefix, Debian 12's Wine: the 32-bit programs as most tests always ran them
#   wow64     64-bit prefix, the same Wine: the 32-bit programs under old WoW64 (a 32-bit loader),
#             as in the simulator's own prefix
#   win64     64-bit prefix, the same Wine's 64-bit loader: the 64-bit build of the source, which
#             runs on any x86-64 kernel
#   newwow64  64-bit prefix, Debian unstable's Wine in a chroot of its own (new_wow64.sh): the
#             32-bit programs under new WoW64, thunked in a 64-bit process
WINE_KINDS="win32 wow64 win64 newwow64"
# What wine_kind.exe (support/wine_kind.cpp) prints in each kind: the proof that a leg is what it says.
kind_signature() {
    case $1 in
        win32) echo "pointer=32 wow64=0 unix=elf32" ;;
        wow64) echo "pointer=32 wow64=1 unix=elf32" ;;
        win64) echo "pointer=64 wow64=0 unix=elf64" ;;
        newwow64) echo "pointer=32 wow64=1 unix=elf64" ;;
        *) return 1 ;;
    esac
}

# check_32bit_code: whether Debian 12's Wine can start 32-bit code here, by starting its 32-bit
# loader. When not, prints one line with the system's own answer and what to do, and returns 1:
# then no Wine runs the shipped programs (new WoW64 too needs the kernel's 32-bit support).
check_32bit_code() {
    local answer kernel=
    answer=$(/usr/lib/wine/wine --version 2>&1 </dev/null) && return 0
    # The shell's own words for a failed exec begin with where it was: keep the system's part.
    answer=$(printf '%s' "$answer" | tr '\n' ' ' | sed -e 's/^.*: line [0-9]*: //' -e 's/ *$//')
    [ -n "$answer" ] || answer="/usr/lib/wine/wine --version failed"
    if dmesg 2>/dev/null | grep -q "32-bit emulation disabled"; then
        kernel="; the kernel says \"32-bit emulation disabled\""
    fi
    echo "this machine runs no 32-bit x86 code (\"$answer\"$kernel), so no Wine can run the 32-bit" \
         "programs here: use a kernel that runs 32-bit code, e.g. one booted with ia32_emulation=on" >&2
    return 1
}

# wine_env BUILD_DIR: the build folder's own prefix of kind WINE_KIND (never the user's), quiet.
wine_env() {
    export WINE_KIND=${WINE_KIND:-win32}
    # WINE_DLL_OVERRIDES: more overrides for one run (a test that takes a system DLL away).
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=${WINE_DLL_OVERRIDES:+;$WINE_DLL_OVERRIDES}"
    case $WINE_KIND in
        win32) export WINEPREFIX="$1/wineprefix" WINEARCH=win32 ;;
        wow64 | win64 | newwow64) export WINEPREFIX="$1/wineprefix-$WINE_KIND" WINEARCH=win64 ;;
        *) echo "unknown WINE_KIND '$WINE_KIND' (one of: $WINE_KINDS)" >&2; return 1 ;;
    esac
}

# prefix_path BUILD_DIR: the folder of the build folder's prefix of kind WINE_KIND.
prefix_path() {
    wine_env "$1" && echo "$WINEPREFIX"
}

# run_wine ARGS...: Wine's loader for the kind (wine_env first).
run_wine() {
    case $WINE_KIND in
        win64) /usr/lib/wine/wine64 "$@" ;;  # Debian's wrapper would start the 32-bit loader
        newwow64) in_new_wow64 wine "$@" ;;
        *) wine "$@" ;;
    esac
}

# run_wineserver ARGS...: the wine server of the kind's Wine (wine_env first).
run_wineserver() {
    if [ "$WINE_KIND" = newwow64 ]; then
        in_new_wow64 /usr/lib/x86_64-linux-gnu/wine/wineserver "$@"
    else
        wineserver "$@"  # Debian's wrapper: the 64-bit server, which serves both loaders
    fi
}

# ensure_prefix BUILD_DIR: makes the prefix once (under a lock: several tests may start together)
# and keeps a wineserver alive between programs so each one starts fast. When Wine cannot make it,
# says so with the tail of Wine's own output and the path of its log, and returns 1.
ensure_prefix() {
    wine_env "$1" || return 1
    if [ ! -f "$WINEPREFIX/.ready" ]; then
        (
            flock 9
            if [ ! -f "$WINEPREFIX/.ready" ]; then
                local log="$WINEPREFIX.log"
                rm -rf "$WINEPREFIX"
                : >"$log"
                # wineboot's status says little (a 64-bit prefix on a machine with no 32-bit code
                # fails its 32-bit part, harmlessly for 64-bit programs): the registry tells.
                { run_wine wineboot -i; run_wineserver -w; } </dev/null >>"$log" 2>&1 9>&-
                if [ ! -f "$WINEPREFIX/system.reg" ]; then
                    wine_failed "making the $WINE_KIND prefix $WINEPREFIX (wineboot made no registry)" "$log"
                    exit 1
                fi
                # Without a window manager Wine waits ~2 s for one whenever a window closes.
                if ! { run_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
                       run_wineserver -w; } </dev/null >>"$log" 2>&1 9>&-; then
                    wine_failed "setting up the $WINE_KIND prefix $WINEPREFIX (reg add)" "$log"
                    exit 1
                fi
                touch "$WINEPREFIX/.ready"
            fi
        ) 9>"$WINEPREFIX.lock" || return 1
    fi
    # Wine draws the caption buttons with Marlett (from fonts-wine), and finds it in the prefix.
    [ -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ] ||
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    run_wineserver -p30 </dev/null >/dev/null 2>&1 9>&-  # fails when one runs already: fine
    return 0
}

# wine_failed STEP LOG: the step Wine failed at, the tail of its output and where the whole is.
wine_failed() {
    {
        echo "Wine failed while $1. Its last lines of output:"
        tail -n 15 "$2" | sed 's/^/    /'
        echo "whole output: $2"
    } >&2
}

# use_prefix BUILD_DIR: the prefix for a script's own display; its wineserver is stopped on exit.
use_prefix() {
    wine_env "$1" || return 1
    # A wineserver left from an earlier run would hold on to an old display.
    run_wineserver -k >/dev/null 2>&1 || true
    STARTED_PREFIX="$WINEPREFIX"
    STARTED_KIND=$WINE_KIND
    ensure_prefix "$1"
}

# start_xvfb DIR: an Xvfb on a free display number, detached from the caller's pipes; its number
# and process id go to DIR/display and DIR/pid. Sets DISPLAY.
start_xvfb() {
    XVFB_DIR=$1
    mkdir -p "$1"
    rm -f "$1/display.tmp"
    setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$1/display.tmp" </dev/null >/dev/null 2>&1 &
    echo $! >"$1/pid"
    for _ in $(seq 100); do
        [ -s "$1/display.tmp" ] && break
        sleep 0.1
    done
    if [ ! -s "$1/display.tmp" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    tr -d '\n' <"$1/display.tmp" >"$1/display"
    export DISPLAY=":$(cat "$1/display")"
}

# stop_xvfb DIR: the Xvfb that start_xvfb DIR started, by its process id.
stop_xvfb() {
    if [ -s "$1/pid" ]; then
        kill "$(cat "$1/pid")" 2>/dev/null || true
    fi
    rm -rf "$1"
}

# Stops the web servers, the wineserver of the prefix used and Xvfb, each by its own id.
stop_started() {
    if [ -n "$STARTED_PREFIX" ]; then
        (export WINEPREFIX=$STARTED_PREFIX WINE_KIND=$STARTED_KIND && run_wineserver -k) >/dev/null 2>&1 || true
    fi
    local pid
    for pid in "${STARTED_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    STARTED_PIDS=()
    if [ -n "$XVFB_DIR" ]; then
        stop_xvfb "$XVFB_DIR"
        XVFB_DIR=
    fi
}

# A TCP port on 127.0.0.1 that nothing listens on right now, below the range the system hands
# out to outgoing connections (and the end-to-end tests' ports).
free_port() {
    local port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 12000))
        # A refused connection: nothing listens there.
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    echo "no free port found on 127.0.0.1" >&2
    return 1
}

# The Windows path under which Wine sees a Unix path (drive Z: is the Unix root).
windows_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}

# french_locale BUILD_DIR: the C library's French UTF-8 locale, made once in BUILD_DIR/locale
# without touching the system (this image has only C.UTF-8). Wine takes a process's regional
# settings and code page from it with LOCPATH=BUILD_DIR/locale LANG=fr_FR.UTF-8.
french_locale() {
    local dir="$1/locale"
    mkdir -p "$dir"
    (
        flock 9
        [ -d "$dir/fr_FR.UTF-8" ] && exit 0
        rm -rf "$dir/new"  # what a run that was stopped midway left
        localedef -i fr_FR -f UTF-8 "$dir/new" && mv "$dir/new" "$dir/fr_FR.UTF-8"
    ) 9>"$dir/.lock"
}

# start_web_server ROOT PORT [FAULT]: support/http_server.py serving the files under ROOT (read
# at the start) on 127.0.0.1:PORT, each with FAULT (e.g. slow:65536:64, about 1 MB/s).
start_web_server() {
    python3 "$REPO_ROOT/support/http_server.py" "$@" </dev/null >/dev/null 2>&1 &
    STARTED_PIDS+=($!)
    for _ in $(seq 50); do
        curl -s -o /dev/null "http://127.0.0.1:$2/" && return 0
        kill -0 "$!" 2>/dev/null || break
        sleep 0.1
    done
    echo "the web server did not start on 127.0.0.1:$2" >&2
    return 1
}

# start_nginx DIR ROOT [CERT KEY]: nginx serving the files under ROOT on a free port of 127.0.0.1,
# fast (sendfile, keep-alive), from a private configuration in DIR; its port and process id go to
# DIR/port and DIR/pid. With CERT and KEY it serves them over HTTPS too, on a port of its own in
# DIR/tls_port. stop_nginx DIR (or stop_started) stops it.
start_nginx() {
    local dir root port pid user_line= tls_port= tls_server=
    dir=$(realpath -m "$1")
    root=$(realpath "$2")
    mkdir -p "$dir/tmp"
    # As root nginx hands requests to an unprivileged worker that could not read private folders.
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    for _ in 1 2 3 4 5; do
        port=$(free_port)
        if [ -n "${3:-}" ]; then
            tls_port=$(free_port)
            tls_server="server { listen 127.0.0.1:$tls_port ssl; ssl_certificate $(realpath "$3");
        ssl_certificate_key $(realpath "$4"); root $root; }"
        fi
        cat >"$dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    types { text/xml xml; }
    default_type application/octet-stream;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
    $tls_server
}
CONF
        nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" </dev/null >/dev/null 2>&1 &
        pid=$!
        echo "$pid" >"$dir/pid"
        for _ in $(seq 50); do
            if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
                STARTED_PIDS+=("$pid")
                echo "$port" >"$dir/port"
                [ -z "$tls_port" ] || echo "$tls_port" >"$dir/tls_port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        # Most likely the port was taken between the probe and the bind: try another one.
        stop_nginx "$dir"
    done
    echo "nginx did not start; its log:" >&2
    cat "$dir/error.log" >&2 2>/dev/null || true
    return 1
}

# stop_nginx DIR: the nginx that start_nginx DIR started, by its process id.
stop_nginx() {
    if [ -s "$1/pid" ]; then
        kill "$(cat "$1/pid")" 2>/dev/null || true
        wait "$(cat "$1/pid")" 2>/dev/null || true  # when this shell started it
    fi
    rm -f "$1/pid" "$1/port" "$1/tls_port"
}

# build_programs BUILD_DIR MANIFEST_URL TARGET...: the given targets (updater, installer, and the
# helpers drive_updater and recipes, which land in BUILD_DIR/helpers), the updater pointed at
# MANIFEST_URL. The build's output goes to BUILD_DIR/build.log and is shown only when it fails.
build_programs() {
    local build=$1 url=$2
    shift 2
    mkdir -p "$build"
    if ! { cmake -S "$REPO_ROOT" -B "$build" --toolchain "$REPO_ROOT/cmake/mingw-i686.cmake" \
               -DBUILD_TESTING=OFF -DUPDATER_MANIFEST_URL="$url" &&
           cmake --build "$build" -j2 --target "$@"; } >"$build/build.log" 2>&1; then
        tail -n 40 "$build/build.log" >&2
        echo "build failed; whole log: $build/build.log" >&2
        return 1
    fi
}

# report_value REPORT EVENT KEY: KEY of the first EVENT line of drive_updater.exe's report (a list
# comes out as comma-separated values; nothing when there is no such line).
report_value() {
    python3 "$REPO_ROOT/support/driver_report.py" "$@"
}

# wine_run BUILD_DIR PROGRAM [ARGS...]: runs a Windows program in the build folder's prefix, on
# the build folder's display (build_display). Standard error goes through a temporary file,
# because Wine's helper processes inherit it and would keep a caller that waits on a pipe blocked
# until they exit. The file is removed as soon as it is open, so none is left when a caller ends
# this run with a signal.
wine_run() {
    local build err rc=0 to_err from_err
    build=$(cd "$1" && pwd)
    shift
    ensure_prefix "$build" || return 125
    [ -s "$build/xvfb/display" ] && export DISPLAY=":$(cat "$build/xvfb/display")"
    err=$(mktemp)
    exec {to_err}>"$err" {from_err}<"$err"
    rm -f "$err"
    run_wine "$@" 2>&"$to_err" {to_err}>&- {from_err}<&- || rc=$?
    exec {to_err}>&-
    cat <&"$from_err" >&2
    exec {from_err}<&-
    return $rc
}

# build_display start|stop BUILD_DIR: the build folder's own Xvfb, for the Windows programs that
# wine_run runs there (the tests' ctest fixture, the bench). Stopping it also stops the wineserver
# of every prefix kind of the build folder.
build_display() {
    local build kind
    build=$(cd "$2" && pwd)
    for kind in $WINE_KINDS; do
        (WINE_KIND=$kind && wine_env "$build" && [ -d "$WINEPREFIX" ] && run_wineserver -k >/dev/null 2>&1) || true
    done
    stop_xvfb "$build/xvfb"
    [ "$1" = stop ] && return 0
    start_xvfb "$build/xvfb" || { stop_xvfb "$build/xvfb"; return 1; }
    echo "Xvfb on $DISPLAY"
}

# build_prefix start|stop BUILD_DIR KIND: the build folder's prefix of KIND, made when needed, its
# wineserver started (or stopped), and the proof that programs run there as KIND says: what
# helpers/wine_kind.exe reports must match kind_signature.
build_prefix() {
    local build seen
    build=$(cd "$2" && pwd)
    export WINE_KIND=$3
    wine_env "$build" || return 1
    if [ "$1" = stop ]; then
        run_wineserver -k >/dev/null 2>&1 || true
        return 0
    fi
    [ -s "$build/xvfb/display" ] && export DISPLAY=":$(cat "$build/xvfb/display")"
    [ "$WINE_KIND" != newwow64 ] || ensure_new_wow64 || return 1
    ensure_prefix "$build" || return 1
    seen=$(wine_run "$build" "$build/helpers/wine_kind.exe" 2>&1 | tr -d '\r')
    if [ "$seen" != "$(kind_signature "$WINE_KIND")" ]; then
        echo "the $WINE_KIND leg is not what it claims: wine_kind.exe says '$seen'," \
             "expected '$(kind_signature "$WINE_KIND")' (prefix $WINEPREFIX)" >&2
        return 1
    fi
    echo "$WINE_KIND prefix $WINEPREFIX: $seen"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    "$@"
fi
