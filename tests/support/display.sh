#!/usr/bin/env bash
# start|stop BUILD_DIR: the tests' own Xvfb (on a free display number) and the prefix's wineserver.
set -u
action=$1
build=$(cd "$2" && pwd)
dir="$build/xvfb"
here=$(cd "$(dirname "$0")" && pwd)

stop() {
    (. "$here/../../scripts/wine-env.sh" "$build"; wineserver -k >/dev/null 2>&1)
    if [ -s "$dir/pid" ]; then
        kill "$(cat "$dir/pid")" 2>/dev/null
    fi
    rm -rf "$dir"
}

case "$action" in
start)
    stop
    mkdir -p "$dir"
    # -displayfd picks a free display; Xvfb is detached from ctest's pipes.
    setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$dir/display.tmp" \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
        [ -s "$dir/display.tmp" ] && break
        sleep 0.1
    done
    if [ ! -s "$dir/display.tmp" ]; then
        echo "Xvfb did not start" >&2
        stop
        exit 1
    fi
    tr -d '\n' <"$dir/display.tmp" >"$dir/display"
    . "$here/../../scripts/wine-env.sh" "$build"
    wine_env_ensure_prefix
    echo "Xvfb on $DISPLAY, prefix $WINEPREFIX"
    ;;
stop)
    stop
    ;;
*)
    echo "usage: display.sh start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
