#!/usr/bin/env bash
# Builds updater.exe (for the given manifest URL) and installer.exe for publishing, with their
# SHA256SUMS and a BUILDINFO record of what made them: the commit, the settings compiled in, the
# versions of the Debian packages and of the expat source that produced the bytes, and the
# executables' checksums. Anyone building the same commit with the same URL and versions must get
# the same bytes, so the script builds twice, in two differently named folders, and publishes
# nothing when the two results differ. --check DIR rebuilds the release in DIR from its BUILDINFO.
# usage: scripts/release.sh [--allow-http] [--allow-dirty] URL [OUTDIR]   (default OUTDIR: release/)
#        scripts/release.sh [--allow-dirty] --check DIR
# Exit status: 0 published, or reproduced; 1 not reproducible, or not reproduced; 2 refused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps=${DEPS_PREFIX:-/opt/mingw-i686-deps}

# The Debian packages whose files make or shape the bytes: the compilers (with libgcc and
# libstdc++), the assembler and linker, the Windows headers, start-up code and import libraries,
# and CMake. The expat source's version is noted by scripts/setup.sh, which built it.
PACKAGES=(gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          mingw-w64-i686-dev cmake)

usage() {
    echo "usage: scripts/release.sh [--allow-http] [--allow-dirty] URL [OUTDIR]" >&2
    echo "       scripts/release.sh [--allow-dirty] --check DIR" >&2
    exit 2
}
refuse() { echo "release.sh: $*" >&2; exit 2; }
# record_value KEY FILE: the value of the line "KEY: value".
record_value() { awk -v key="$1: " 'index($0, key) == 1 { print substr($0, length(key) + 1); exit }' "$2"; }

allow_http=0 allow_dirty=0 check=0
args=()
for arg in "$@"; do
    case $arg in
        --allow-http) allow_http=1 ;;
        --allow-dirty) allow_dirty=1 ;;
        --check) check=1 ;;
        -*) usage ;;
        *) args+=("$arg") ;;
    esac
done

if [ "$check" -eq 1 ]; then
    if [ ${#args[@]} -ne 1 ] || [ "$allow_http" -eq 1 ]; then usage; fi
    record=${args[0]}/BUILDINFO
    [ -f "$record" ] || refuse "no BUILDINFO in ${args[0]}"
    url=$(record_value manifest-url "$record")
    timeout_ms=$(record_value network-timeout-ms "$record")
    settings=(-DUPDATER_MANIFEST_URL="$url" -DUPDATER_NETWORK_TIMEOUT_MS="$timeout_ms")
else
    if [ ${#args[@]} -lt 1 ] || [ ${#args[@]} -gt 2 ]; then usage; fi
    url=${args[0]}
    out=${args[1]:-$root/release}
    timeout_ms=  # the build's default, read back after configuring
    settings=(-DUPDATER_MANIFEST_URL="$url")
    # Players' updaters believe whatever the manifest lists: only TLS keeps it from being changed on the way.
    case $url in
        https://?*) ;;
        http://?*)
            [ "$allow_http" -eq 1 ] ||
                refuse "refusing $url: the manifest must come over https:// (--allow-http to accept http://)" ;;
        *) refuse "not a manifest URL: $url (https://host/path expected)" ;;
    esac
fi

# The commit names the sources only when nothing else went in: no change to a tracked file, and no
# new file where the build looks for sources (an untracked header there would be compiled in).
commit=$(git -C "$root" rev-parse --verify -q HEAD 2>/dev/null) ||
    refuse "$root is not a git checkout: a release names the commit it is built from"
changes=$(git -C "$root" --no-optional-locks status --porcelain --untracked-files=no
          git -C "$root" ls-files --others --exclude-standard -- CMakeLists.txt cmake installer updater |
              sed 's/^/?? /')
tree=clean
if [ -n "$changes" ]; then
    if [ "$allow_dirty" -eq 0 ]; then
        refuse "refusing to build: the tree differs from commit $commit (commit, or --allow-dirty to build it as it is):"$'\n'"$changes"
    fi
    tree=dirty
fi

bash "$root/scripts/setup.sh"
# What players run is 32-bit: a machine that cannot run it cannot check what it builds either.
bash "$root/support/lib.sh" check_32bit_code || exit 1

# The build's own rule for what can be compiled in, applied before anything is built.
if ! problem=$(cmake "${settings[@]}" -P "$root/cmake/updater_settings.cmake" 2>&1); then
    refuse "refusing $(sed -n 's/^  //p' <<<"$problem" | paste -sd ' ')"
fi

# shellcheck disable=SC2016  # ${Version} is dpkg-query's field, not the shell's
versions=$(for package in "${PACKAGES[@]}"; do
               echo "package $package: $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || true)"
           done
           echo "source expat: $(cat "$deps/expat-source-version" 2>/dev/null || true)")
inputs() {  # the record's lines on what the executables are made from
    printf 'commit: %s\ntree: %s\nmanifest-url: %s\nnetwork-timeout-ms: %s\n%s\n' \
        "$commit" "$tree" "$url" "$timeout_ms" "$versions"
}

if [ "$check" -eq 1 ]; then
    mismatch=0
    while IFS= read -r line; do
        key=${line%%: *} here=${line#*: }
        recorded=$(record_value "$key" "$record")
        if [ "$here" != "$recorded" ]; then
            echo "release.sh: $key: ${recorded:-(none)} in $record, ${here:-(none)} here" >&2
            mismatch=1
        fi
    done < <(inputs)
    [ "$mismatch" -eq 0 ] || { echo "release.sh: not rebuilt: this checkout or machine differs from the record" >&2; exit 1; }
elif missing=$(grep ': $' <<<"$versions"); then
    refuse "unknown version (run scripts/setup.sh):"$'\n'"$missing"
fi

work=$(mktemp -d -t livery-release.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

build() {  # build_dir
    cmake -S "$root" -B "$1" --toolchain "$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DDEPS_PREFIX="$deps" "${settings[@]}" >/dev/null
    cmake --build "$1" -j"$(nproc)" --target updater installer >/dev/null
}
sha256() { sha256sum <"$1" | cut -d ' ' -f 1; }
build "$work/build"

if [ "$check" -eq 1 ]; then
    differ=0
    for exe in updater.exe installer.exe; do
        built=$(sha256 "$work/build/bin/$exe")
        recorded=$(record_value "sha256 $exe" "$record")
        if [ "$built" != "$recorded" ]; then
            echo "release.sh: $exe: rebuilt with sha256 $built, ${recorded:-(none)} in $record" >&2
            differ=1
        fi
    done
    [ "$differ" -eq 0 ] || exit 1
    echo "release.sh: reproduced $record: both executables rebuilt byte for byte"
    exit 0
fi

timeout_ms=$(sed -n 's/^UPDATER_NETWORK_TIMEOUT_MS:[A-Z]*=//p' "$work/build/CMakeCache.txt")
# A second folder with another name (and length) shows any build path or time in the output.
build "$work/second-build"
differ=0
for exe in updater.exe installer.exe; do
    if ! cmp -s "$work/build/bin/$exe" "$work/second-build/bin/$exe"; then
        echo "release.sh: $exe differs between two builds of the same tree: not reproducible" >&2
        differ=1
    fi
done
[ "$differ" -eq 0 ] || exit 1

mkdir -p "$out"
cp "$work/build/bin/updater.exe" "$work/build/bin/installer.exe" "$out/"
(cd "$out" && sha256sum updater.exe installer.exe >SHA256SUMS)
{
    inputs
    for exe in updater.exe installer.exe; do echo "sha256 $exe: $(sha256 "$out/$exe")"; done
} >"$out/BUILDINFO"
echo "release.sh: $out"
cat "$out/BUILDINFO"
