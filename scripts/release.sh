#!/usr/bin/env bash
# Builds updater.exe (for the given manifest URL) and installer.exe for publishing, and writes
# their SHA256SUMS beside them. Anyone building the same commit with the same URL must get the
# same bytes, so the script builds twice, in two differently named folders, and publishes nothing
# when the two results differ.
# usage: scripts/release.sh [--allow-http] URL [OUTDIR]   (default OUTDIR: release/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: scripts/release.sh [--allow-http] URL [OUTDIR]" >&2; exit 2; }
allow_http=0
args=()
for arg in "$@"; do
    case $arg in
        --allow-http) allow_http=1 ;;
        -*) usage ;;
        *) args+=("$arg") ;;
    esac
done
[ ${#args[@]} -ge 1 ] && [ ${#args[@]} -le 2 ] || usage
url=${args[0]}
out=${args[1]:-$root/release}

# Players' updaters believe whatever the manifest lists: only TLS keeps it from being changed on the way.
case $url in
    https://?*) ;;
    http://?*)
        if [ "$allow_http" -eq 0 ]; then
            echo "release.sh: refusing $url: the manifest must come over https:// (--allow-http to accept http://)" >&2
            exit 2
        fi ;;
    *) echo "release.sh: not a manifest URL: $url (https://host/path expected)" >&2; exit 2 ;;
esac
# The URL is compiled in as a C string: a backslash would turn into an escape, CMake drops
# definitions holding '#' and splits at ';', and a quote or a space is no URL character anyway.
url_chars="^[][A-Za-z0-9._~:/?@!\$&'()*+,=%-]+\$"
if [[ ! $url =~ $url_chars ]]; then
    echo "release.sh: refusing $url: only URL characters other than ';' and '#' can be compiled in" >&2
    exit 2
fi

bash "$root/scripts/setup.sh"

work=$(mktemp -d -t livery-release.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

build() {  # build_dir
    cmake -S "$root" -B "$1" --toolchain "$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DUPDATER_MANIFEST_URL="$url" >/dev/null
    cmake --build "$1" -j"$(nproc)" --target updater installer >/dev/null
}
build "$work/build"
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
echo "release.sh: $out (manifest $url)"
cat "$out/SHA256SUMS"
