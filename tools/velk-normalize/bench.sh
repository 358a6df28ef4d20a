#!/usr/bin/env bash
# Conversion benchmark: generates the inputs (once) and runs velk-normalize
# over them, then the 4096x4096 JPEG alone under /usr/bin/time for the
# process's peak memory.
#   tools/velk-normalize/bench.sh BUILD_DIR [IMAGE_DIR] [REPEAT]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [IMAGE_DIR] [REPEAT]}" && pwd)
images=${2:-/tmp/velk-bench}
repeat=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/tools/velk-normalize/velk-normalize
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$here/make-bench-images.sh" "$images" > /dev/null
cd "$images"
"$tool" --out "$out" --repeat "$repeat" anim.gif icon-{16,32,64,128,256,512,1024}.png \
    photo-640x480.jpg photo-1024.jpg photo-3000x2000.jpg photo-4096.jpg photo-8000x6000.jpg
"$tool" --out "$out" photo-8000.png
/usr/bin/time -f "photo-4096.jpg peak RSS %M KiB" "$tool" --out "$out" photo-4096.jpg > /dev/null
