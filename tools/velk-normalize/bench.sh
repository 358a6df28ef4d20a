#!/usr/bin/env bash
# Conversion benchmark: generates the inputs (once), converts each one with
# velk-normalize and with Pillow side by side in one run (pillow_bench.py:
# medians, ratios, sizes), then the 16 MP JPEG alone under /usr/bin/time for
# the process's peak memory.
#   tools/velk-normalize/bench.sh BUILD_DIR [IMAGE_DIR] [ROUNDS]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [IMAGE_DIR] [ROUNDS]}" && pwd)
images=${2:-/tmp/velk-bench}
rounds=${3:-7}
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/tools/velk-normalize/velk-normalize
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$here/make-bench-images.sh" "$images" > /dev/null
/usr/bin/python3 "$here/pillow_bench.py" --tool "$tool" --images "$images" --rounds "$rounds"
/usr/bin/time -f "photo-4096.jpg (16 MP) peak RSS %M KiB" "$tool" --out "$out" "$images/photo-4096.jpg" > /dev/null
