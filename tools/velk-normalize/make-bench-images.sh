#!/usr/bin/env bash
# Generates the benchmark inputs for velk-normalize with ImageMagick:
# photo-like JPEGs from 640x480 to 8000x6000, an 8000x8000 PNG, icons with
# transparency from 16 to 1024 px, palette PNGs, GIFs (animated, with
# transparency, dithered photo) and a 2048x2048 zone plate.
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
[ -f icon-64.gif ] || convert icon-64.png icon-64.gif
[ -f photo-800x600.gif ] || convert -seed 9 -size 800x600 plasma:fractal -blur 0x0.7 photo-800x600.gif
[ -f photo-400.gif ] || convert -seed 11 -size 400x400 plasma:fractal -blur 0x0.7 photo-400.gif

# Palette PNGs: an icon with a transparent palette entry and a quantised photo.
[ -f palette-icon-256.png ] || convert icon-256.png PNG8:palette-icon-256.png
[ -f palette-photo-640x480.png ] || convert photo-640x480.jpg -colors 256 PNG8:palette-photo-640x480.png

# Zone plate cos(pi r^2 / n), n = 2048: rings from flat at the centre to
# the Nyquist frequency at the edges, the worst case for aliasing. Built
# from two squared ramps, since -fx takes minutes at this size.
[ -f zone-2048.png ] || convert -size 2048x2048 gradient: -function Polynomial 1,-1,0.25 \
    \( +clone -rotate 90 \) -compose plus -composite -function Sinusoid 1024,90,0.5,0.5 \
    -colorspace Gray -depth 8 zone-2048.png
ls -l "$dir"
