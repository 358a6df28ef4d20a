#!/usr/bin/env bash
# Generates the benchmark inputs for velk-normalize with ImageMagick:
# photo-like JPEGs from 640x480 to 8000x6000, an 8000x8000 PNG, icons with
# transparency from 16 to 1024 px and an animated GIF.
#   tools/velk-normalize/make-bench-images.sh DIR
set -euo pipefail
dir=${1:?usage: $0 DIR}
mkdir -p "$dir"
cd "$dir"

# Plasma fractals look enough like photos (smooth areas, fine texture) to
# load the JPEG decoder and the resampler realistically.
photo() { # name width height
    [ -f "$1" ] || convert -seed 7 -size "$2x$3" plasma:fractal -blur 0x0.7 -quality 90 "$1"
}
photo photo-640x480.jpg 640 480
photo photo-1024.jpg 1024 1024
photo photo-3000x2000.jpg 3000 2000
photo photo-4096.jpg 4096 4096
[ -f photo-8000x6000.jpg ] || convert -seed 7 -size 2000x1500 plasma:fractal -resize 8000x6000! \
    -attenuate 0.3 +noise Gaussian -quality 90 photo-8000x6000.jpg
[ -f photo-8000.png ] || convert -seed 8 -size 2000x2000 plasma:fractal -resize 8000x8000! -depth 8 photo-8000.png

# Icons: a soft-edged disc and a ring on a transparent background.
for n in 16 32 64 128 256 512 1024; do
    f=icon-$n.png
    [ -f "$f" ] || convert -size "${n}x${n}" xc:none \
        -fill '#2f6fd0' -draw "circle $((n / 2)),$((n / 2)) $((n / 2)),$((n / 16))" \
        -fill none -stroke '#f0a020' -strokewidth $(((n + 15) / 16)) \
        -draw "circle $((n / 2)),$((n / 2)) $((n / 2)),$((n / 4))" "$f"
done
[ -f anim.gif ] || convert -delay 20 -size 300x200 xc:red xc:blue -loop 0 anim.gif
ls -l "$dir"
