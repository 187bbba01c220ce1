#!/usr/bin/env bash
# Renders the program's icon into the PNG sizes that are installed beside the SVG. Run it after
# changing org.kivabook.Viewer.svg and commit the PNGs with it; the build itself needs no SVG
# renderer. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" org.kivabook.Viewer.svg -o "${size}x${size}.png"
done
