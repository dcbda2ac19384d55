#!/usr/bin/env bash
# Renders the application icon's two PNG images from its SVG source (ImageMagick).
set -euo pipefail
cd "$(dirname "$0")/../console/icons"
command -v convert >/dev/null || ../../scripts/install-deps.sh imagemagick
for size in 16 32; do
    # The SVG is drawn on a 16-unit grid: render at the target density so edges fall on whole pixels.
    convert -background none -density $((96 * size / 16)) liaison-serie.svg -resize "${size}x${size}" \
        -depth 8 "PNG32:liaison-serie-${size}.png"
done
identify liaison-serie-16.png liaison-serie-32.png
