#!/usr/bin/env bash
# Draws the updater's icon and writes updater/updater.ico: a white aircraft seen from above,
# with an orange brush stroke under it, on a blue disc.
# Images 16, 24, 32 and 48 go in as 32 bpp bitmaps, 256 as PNG (the shell's large icon).
# usage: tools/make_icon.sh [OUTPUT.ico]   (default: updater/updater.ico)
# Needs ImageMagick's own convert (/usr/bin/convert) and icotool (icoutils).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/updater/updater.ico}
convert=/usr/bin/convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drawing, on a 256 x 256 grid; rendered at 1024 and scaled down for smooth edges.
cat >"$work/icon.mvg" <<'MVG'
scale 4,4
stroke none
fill #0d3c78 circle 128,128 128,6
fill #1f6fc5 circle 128,128 128,16
fill #ff9a1f path 'M 36,164 Q 122,258 220,150 Q 126,204 36,164 Z'
stroke #0d3c78 stroke-width 5 stroke-linejoin round fill #ffffff
polygon 128,30 137,48 139,100 214,144 214,160 139,140 137,182 166,204 166,216 131,208 128,220 125,208 90,216 90,204 119,182 117,140 42,160 42,144 117,100 119,48
MVG

master="$work/master.png"
"$convert" -size 1024x1024 xc:none -draw "$(cat "$work/icon.mvg")" "$master"

images=()
for size in 16 24 32 48 256; do
    # No time chunks, so the same drawing always gives the same bytes.
    "$convert" "$master" -filter Lanczos -resize "${size}x${size}" -strip \
        -define png:exclude-chunks=date,time "PNG32:$work/$size.png"
    images+=("$work/$size.png")
done

# The last image is stored raw (PNG); the others become uncompressed 32 bpp bitmaps.
icotool -c -o "$out" "${images[@]:0:4}" -r "${images[4]}"
icotool -l "$out"
