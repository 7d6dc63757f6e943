#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the benchmark need on Debian 12 (as root):
# the i686 MinGW-w64 compilers, Wine (32-bit), Xvfb, the test tools, and a static wide-character
# expat built from Debian's source package (its version noted in $DEPS_PREFIX/expat-source-version
# for the release record). A second run on a ready machine does nothing.
set -euo pipefail

DEPS_PREFIX=${DEPS_PREFIX:-/opt/mingw-i686-deps}
STAMP="$DEPS_PREFIX/.setup-done-v5"
[ -f "$STAMP" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: must run as root (it installs Debian packages)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
PACKAGES=(
    cmake make dpkg-dev g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine32:i386 wine64 fonts-wine xvfb xauth
    googletest python3 openssl imagemagick icoutils file e2fsprogs locales
    nginx-light curl
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

# expat comes from Debian's source package: make sure deb-src entries exist.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    cat > /etc/apt/sources.list.d/deb-src-bookworm.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

apt-get update -q
apt-get install -y -q --no-install-recommends "${PACKAGES[@]}"

# expat, static, i686, XML_Char = wchar_t (UTF-16).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q -o APT::Sandbox::User=root expat)
src=$(find "$work" -maxdepth 1 -type d -name 'expat-*' | head -n 1)
# Debian's security patch tests "#if XML_DTD == 1"; the CMake template defines XML_DTD empty.
sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$src/expat/expat_config.h.cmake"
toolchain=$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-i686.cmake
cmake -S "$src/expat" -B "$work/build" --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS_PREFIX" \
    -DEXPAT_CHAR_TYPE=wchar_t -DEXPAT_SHARED_LIBS=OFF \
    -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
    -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null
dpkg-parsechangelog -l "$src/debian/changelog" -S Version >"$DEPS_PREFIX/expat-source-version"

touch "$STAMP"
echo "setup.sh: ready (expat in $DEPS_PREFIX)"
