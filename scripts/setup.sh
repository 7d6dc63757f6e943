#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the benchmark need on Debian 12 (as root):
# the i686 MinGW-w64 compilers (and the x86_64 ones, for the 64-bit test leg), Wine (32-bit and
# 64-bit), Xvfb, the test tools, and a static wide-character expat for each built from Debian's
# source package (its version noted in $DEPS_PREFIX/expat-source-version for the release record).
# A second run on a ready machine does nothing.
#
# It says in one line per step what it does; apt's and the build's output go to a log file. When a
# step fails it shows that step's last 30 lines of log and exits with status 1.
# Debian's source packages come from the same mirrors, suites and keyrings as the machine's own
# deb entries: setup adds deb-src entries made from them where there are none.
set -euo pipefail

DEPS_PREFIX=${DEPS_PREFIX:-/opt/mingw-i686-deps}
DEPS_PREFIX_64=${DEPS_PREFIX_64:-/opt/mingw-x86_64-deps}
STAMP="$DEPS_PREFIX/.setup-done-v6"
if [ -f "$STAMP" ]; then
    echo "setup.sh: this machine is set up already (expat in $DEPS_PREFIX): nothing to do"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: must run as root (it installs Debian packages)" >&2
    exit 1
fi

root=$(cd "$(dirname "$0")/.." && pwd)
# What setup writes into apt's configuration: nothing else there is changed.
SRC_LIST=/etc/apt/sources.list.d/livery-pack-src.list
SRC_SOURCES=/etc/apt/sources.list.d/livery-pack-src.sources
STEPS=9
export DEBIAN_FRONTEND=noninteractive

mkdir -p "$DEPS_PREFIX"
log=$DEPS_PREFIX/setup.log
: >"$log"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# step WHAT FUNCTION [ARGS...]: one line saying what is done; the function's output goes to the log.
# On failure: the step, the last 30 lines it logged, the log's path, and exit status 1.
step_number=0
step() {
    local what=$1 started=$SECONDS first status
    shift
    step_number=$((step_number + 1))
    printf '  [%d/%d] %s ...' "$step_number" "$STEPS" "$what"
    printf '\n== step %d: %s\n' "$step_number" "$what" >>"$log"
    first=$(($(wc -l <"$log") + 1))
    # In a subshell of its own, outside any condition, so that set -e holds inside the function.
    set +e
    (set -e; "$@") </dev/null >>"$log" 2>&1
    status=$?
    set -e
    if [ "$status" -eq 0 ]; then
        echo " done ($((SECONDS - started)) s)"
        return
    fi
    echo " failed"
    {
        echo "setup.sh: step $step_number failed (status $status): $what"
        echo "setup.sh: its last lines of log:"
        tail -n "+$first" "$log" | tail -n 30 | sed 's/^/    /'
        echo "setup.sh: whole log: $log"
    } >&2
    exit 1
}

# The machine's apt sources, one-line (.list) and deb822 (.sources) files alike, except setup's own.
source_files() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && [ "$f" != "$SRC_LIST" ] && [ "$f" != "$SRC_SOURCES" ] && echo "$f"
    done
    return 0
}

# Writes a deb-src entry for every deb entry of this Debian release (its codename's suites) that
# has none, with the deb entry's URI, suite, components and options (its keyring too).
add_source_entries() {
    local codename files=()
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    rm -f "$SRC_LIST" "$SRC_SOURCES"
    mapfile -t files < <(source_files)
    echo "apt sources read: ${files[*]:-(none)}"
    awk -v codename="$codename" -v list_out="$SRC_LIST" -v sources_out="$SRC_SOURCES" '
        function release_suite(suite) {
            return codename != "" && (suite == codename || index(suite, codename "-") == 1)
        }
        function key(uri, suite) { sub(/\/+$/, "", uri); return uri " " suite }
        function seen_source(uri, suite) {
            has_src[key(uri, suite)] = 1
            if (release_suite(suite)) release_src++
        }
        # deb822: one stanza, its fields by lower-case name and its lines besides Types, URIs, Suites.
        function end_stanza(   t, nt, types, u, nu, uris, s, ns, suites) {
            if (stanza_lines && tolower(field["enabled"]) != "no") {
                nt = split(field["types"], types)
                nu = split(field["uris"], uris)
                ns = split(field["suites"], suites)
                for (t = 1; t <= nt; t++) {
                    if (types[t] == "deb-src")
                        for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) seen_source(uris[u], suites[s])
                    if (types[t] == "deb") {
                        n++; kind[n] = "sources"; deb_uris[n] = field["uris"]; deb_suites[n] = field["suites"]
                        rest[n] = other_lines
                    }
                }
            }
            stanza_lines = 0; other_lines = ""; name = ""
            for (f in field) delete field[f]
        }
        FNR == 1 { end_stanza(); deb822 = FILENAME ~ /\.sources$/ }
        deb822 && /^[ \t]*$/ { end_stanza(); next }
        deb822 && /^#/ { next }
        deb822 {
            stanza_lines++
            if ($0 ~ /^[ \t]/) {  # a continuation line
                field[name] = field[name] " " $0
            } else {
                name = tolower(substr($0, 1, index($0, ":") - 1))
                field[name] = substr($0, index($0, ":") + 1)
                sub(/^[ \t]+/, "", field[name]); sub(/[ \t]+$/, "", field[name])
            }
            if (name != "types" && name != "uris" && name != "suites") other_lines = other_lines $0 "\n"
            next
        }
        {
            line = $0
            sub(/#.*/, "", line)
            nw = split(line, w)
            if (nw < 3 || (w[1] != "deb" && w[1] != "deb-src")) next
            i = 2; options = ""
            if (substr(w[2], 1, 1) == "[") {
                while (i <= nw) { options = options (options == "" ? "" : " ") w[i]; if (w[i++] ~ /\]$/) break }
            }
            components = ""
            for (c = i + 2; c <= nw; c++) components = components " " w[c]
            if (w[1] == "deb-src") { seen_source(w[i], w[i + 1]); next }
            n++; kind[n] = "list"; deb_uris[n] = w[i]; deb_suites[n] = w[i + 1]
            rest[n] = components; deb_options[n] = options
        }
        END {
            end_stanza()
            header = "# Written by the livery pack'"'"'s scripts/setup.sh: Debian source packages from the same\n" \
                     "# mirror, suite and keyring as this machine'"'"'s deb entry."
            for (d = 1; d <= n; d++) {
                nu = split(deb_uris[d], uris); ns = split(deb_suites[d], suites)
                for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) {
                    if (!release_suite(suites[s])) continue
                    release_deb++
                    k = key(uris[u], suites[s])
                    if (k in has_src) continue
                    has_src[k] = 1
                    added++
                    if (kind[d] == "list") {
                        if (!list_started++) print header > list_out
                        print "deb-src " (deb_options[d] == "" ? "" : deb_options[d] " ") uris[u] " " suites[s] rest[d] > list_out
                    } else {
                        if (!sources_started++) print header "\n" > sources_out
                        printf "Types: deb-src\nURIs: %s\nSuites: %s\n%s\n", uris[u], suites[s], rest[d] > sources_out
                    }
                }
            }
            if (!release_deb && !release_src) {
                printf "no deb or deb-src entry for Debian %s in /etc/apt/sources.list or /etc/apt/sources.list.d/.\n", \
                    (codename == "" ? "(no VERSION_CODENAME in /etc/os-release)" : codename) > "/dev/stderr"
                printf "Add your Debian mirror'"'"'s source entries, e.g. a file /etc/apt/sources.list.d/debian-src.sources with:\n" > "/dev/stderr"
                printf "  Types: deb-src\n  URIs: <your Debian mirror>\n  Suites: %s %s-updates\n  Components: main\n", \
                    codename, codename > "/dev/stderr"
                printf "  Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n" > "/dev/stderr"
                exit 3
            }
            printf "%d deb-src entries added (%s, %s); %d deb entries for %s\n", added, list_out, sources_out, release_deb, codename
        }
    ' ${files[@]+"${files[@]}"}
    cat "$SRC_LIST" "$SRC_SOURCES" 2>/dev/null || true
}

install_packages() {
    apt-get install -y -q --no-install-recommends "$@"
}

# Debian's expat source, into $work/src. A newer revision can be listed (by a security suite)
# before its files are served: then the newest one that can be fetched is taken.
fetch_expat() {
    local version
    for version in $(apt-cache showsrc --only-source expat | sed -n 's/^Version: //p' | sort -u -r -V); do
        rm -rf "$work/src"
        mkdir "$work/src"
        if (cd "$work/src" && apt-get source -q -o APT::Sandbox::User=root "expat=$version"); then
            return 0
        fi
        echo "expat $version could not be fetched; trying an older revision"
    done
    echo "no expat source could be fetched (apt-cache showsrc expat lists what the deb-src entries offer)"
    return 1
}

# build_expat ARCH PREFIX: expat, static, for i686 or x86_64, XML_Char = wchar_t (UTF-16).
build_expat() {
    local src arch=$1 prefix=$2
    src=$(find "$work/src" -maxdepth 1 -type d -name 'expat-*' | head -n 1)
    # Debian's security patch tests "#if XML_DTD == 1"; the CMake template defines XML_DTD empty.
    sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$src/expat/expat_config.h.cmake"
    rm -rf "$work/build"
    cmake -S "$src/expat" -B "$work/build" --toolchain "$root/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DEXPAT_CHAR_TYPE=wchar_t -DEXPAT_SHARED_LIBS=OFF \
        -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
        -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF
    cmake --build "$work/build" -j"$(nproc)"
    cmake --install "$work/build"
    dpkg-parsechangelog -l "$src/debian/changelog" -S Version >"$prefix/expat-source-version"
}

echo "setup.sh: first run on this machine: installs the build and test tools, about 3 minutes; log: $log"
step "apt sources: i386 (for 32-bit Wine) and deb-src entries (for expat's source)" add_source_entries
step "package lists (apt-get update), about 20 s" apt-get update -q
step "MinGW-w64 i686 compilers and CMake, to build the programs, about a minute" \
    install_packages cmake make g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
step "MinGW-w64 x86_64 compilers, for the 64-bit test leg, about 30 s" \
    install_packages g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
step "Wine (32-bit and 64-bit), its fonts and Xvfb, to run the programs and tests, about a minute" \
    install_packages wine wine32:i386 wine64 fonts-wine xvfb xauth
step "test tools: GoogleTest, Python 3, OpenSSL, ImageMagick, nginx, curl..., under a minute" \
    install_packages dpkg-dev googletest python3 openssl imagemagick icoutils file e2fsprogs locales \
    nginx-light curl debootstrap
step "expat's Debian source package, a few seconds" fetch_expat
step "expat for i686 (static, wide-character) into $DEPS_PREFIX, about 15 s" build_expat i686 "$DEPS_PREFIX"
step "expat for x86_64 (the same) into $DEPS_PREFIX_64, about 15 s" build_expat x86_64 "$DEPS_PREFIX_64"

touch "$STAMP"
echo "setup.sh: ready (expat $(cat "$DEPS_PREFIX/expat-source-version") in $DEPS_PREFIX)"
