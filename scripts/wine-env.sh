# Sourced with a build folder as argument: the Wine environment of the tests, the demo and the
# benchmark. WINEPREFIX lives in the build folder (never the user's own); DISPLAY is the tests'
# own Xvfb when one runs.
_wine_build=$1
export WINEPREFIX="$_wine_build/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -s "$_wine_build/xvfb/display" ]; then
    export DISPLAY=":$(cat "$_wine_build/xvfb/display")"
fi

# Makes the prefix once (under a lock, several tests may start together) and keeps a
# wineserver alive between tests so each program starts fast.
wine_env_ensure_prefix() {
    if [ ! -f "$WINEPREFIX/.ready" ]; then
        (
            flock 9
            if [ ! -f "$WINEPREFIX/.ready" ]; then
                rm -rf "$WINEPREFIX"
                wineboot -i </dev/null >/dev/null 2>&1 9>&-
                # Without a window manager Wine waits ~2 s for one whenever a window closes.
                wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 9>&-
                wineserver -w 9>&-
                touch "$WINEPREFIX/.ready"
            fi
        ) 9>"$_wine_build/wineprefix.lock" || return 1
    fi
    wineserver -p30 </dev/null >/dev/null 2>&1 9>&-
    return 0
}
