#!/usr/bin/env bash
# Renders the application icon's PNG sizes from the SVG. The PNGs are kept in
# the repository, so this runs only after the SVG changes (needs rsvg-convert,
# Debian package librsvg2-bin). 16..512 are the icon theme sizes; 80, 160 and
# 240 are the window's logo at 1x, 2x and 3x.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 80 128 160 240 256 512; do
    rsvg-convert -w "$size" -h "$size" org.example.VelkIconUploader.svg -o "app-$size.png"
done
