# shellcheck shell=bash
# Shell helpers shared by scripts/demo.sh and bench/run.sh (sourced, not run).
# Everything started here is recorded by process id and stopped by stop_started; callers set
#   trap stop_started EXIT
# right after sourcing this file.

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$BENCH_DIR/.." && pwd)

NGINX_PID=
XVFB_PID=
STARTED_PREFIX=

# Stops the web server, the wineserver of the prefix used and Xvfb, each by its own id.
stop_started() {
    if [ -n "$STARTED_PREFIX" ]; then
        WINEPREFIX=$STARTED_PREFIX wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# A TCP port on 127.0.0.1 that nothing listens on right now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The Windows path under which Wine sees a Unix path (drive Z: is the Unix root).
windows_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}

# start_nginx DOC_ROOT WORK_DIR [RATE]: serves DOC_ROOT on 127.0.0.1 from a private
# configuration in WORK_DIR; sets NGINX_PID and NGINX_PORT. RATE (e.g. 1m) limits the speed
# of each response, so that a small download lasts long enough to be watched.
start_nginx() {
    local root=$1 work=$2 rate=${3:-0} user_line=
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
        limit_rate $rate;
    }
}
CONF
        nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" </dev/null >/dev/null 2>&1 &
        NGINX_PID=$!
        for _ in $(seq 50); do
            if curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/"; then
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

# start_xvfb WORK_DIR: an Xvfb of our own on a free display number; sets XVFB_PID and DISPLAY.
start_xvfb() {
    local work=$1
    mkdir -p "$work"
    rm -f "$work/display"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" </dev/null >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    if [ ! -s "$work/display" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    DISPLAY=":$(tr -d '\n' <"$work/display")"
    export DISPLAY
}

# use_prefix BUILD_DIR: the build folder's own Wine prefix, made on first use.
use_prefix() {
    # shellcheck source=../scripts/wine-env.sh
    . "$REPO_ROOT/scripts/wine-env.sh" "$1"
    STARTED_PREFIX=$WINEPREFIX
    wine_env_ensure_prefix
}

# build_helper SOURCE OUT_EXE LIBS...: one of the small Windows helpers of bench/, linked
# statically; rebuilt only when the source is newer than the executable.
build_helper() {
    local source=$1 out=$2
    shift 2
    # Up to date when newer than its source and every header it may include.
    if [ "$out" -nt "$source" ] && [ -z "$(find "$BENCH_DIR" "$REPO_ROOT/updater" -name '*.h' -newer "$out")" ]; then
        return 0
    fi
    mkdir -p "$(dirname "$out")"
    i686-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -DUNICODE -D_UNICODE \
        -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601 -municode -static -I"$REPO_ROOT/updater" \
        -o "$out" "$source" "$@"
}

# build_driver OUT_EXE: the small Windows helper that runs updater.exe and answers its box.
build_driver() {
    build_helper "$BENCH_DIR/drive_updater.cpp" "$1" -lpsapi
}

# build_recipes OUT_EXE: the plain WinINet download and CryptoAPI MD5 loops the benchmark
# measures the updater against.
build_recipes() {
    build_helper "$BENCH_DIR/recipes.cpp" "$1" -lwininet -ladvapi32
}

# build_updater BUILD_DIR MANIFEST_URL: updater.exe and installer.exe pointed at the given URL.
# The build's output goes to BUILD_DIR/build.log and is shown only when the build fails.
build_updater() {
    local build=$1 url=$2
    mkdir -p "$build"
    if ! { cmake -S "$REPO_ROOT" -B "$build" --toolchain "$REPO_ROOT/cmake/mingw-i686.cmake" \
               -DBUILD_TESTING=OFF -DUPDATER_MANIFEST_URL="$url" &&
           cmake --build "$build" -j2 --target updater installer; } >"$build/build.log" 2>&1; then
        tail -n 40 "$build/build.log" >&2
        echo "build failed; whole log: $build/build.log" >&2
        return 1
    fi
}
