#!/usr/bin/env bash
# Renders the application icon's two PNG images from its SVG source (ImageMagick), and packs both into
# the Windows icon file that the program's resources carry (icoutils).
set -euo pipefail
cd "$(dirname "$0")/../console/icons"
# ImageMagick reads SVG only with its extra coders; icotool comes with icoutils.
../../scripts/install-deps.sh imagemagick libmagickcore-6.q16-6-extra icoutils
for size in 16 32; do
    # The SVG is drawn on a 16-unit grid: render at the target density so edges fall on whole pixels.
    convert -background none -density $((96 * size / 16)) liaison-serie.svg -resize "${size}x${size}" \
        -depth 8 "PNG32:liaison-serie-${size}.png"
done
identify liaison-serie-16.png liaison-serie-32.png
# Both images as 32-bit BMP entries with alpha (not PNG-compressed), which every Windows version and
# the resource compiler read.
icotool -c -o liaison-serie.ico liaison-serie-16.png liaison-serie-32.png
icotool -l liaison-serie.ico
