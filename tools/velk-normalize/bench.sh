#!/usr/bin/env bash
# Conversion benchmark: generates the inputs (once), converts each one with
# velk-normalize, with Pillow and with sharp side by side in one run
# (pillow_bench.py: medians, ratios, sizes), then the 16 MP JPEG and a PNG
# of 1,000,000x67 pixels alone under /usr/bin/time for the process's peak
# memory. sharp is installed with npm into BUILD_DIR/bench-node the first
# time, when node and npm are there; without them its columns are left out.
# With VELK_BEFORE set to an earlier build's velk-normalize, that one's
# output sizes are printed beside ours.
#   [VELK_BEFORE=OLD_TOOL] tools/velk-normalize/bench.sh BUILD_DIR [IMAGE_DIR] [ROUNDS]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [IMAGE_DIR] [ROUNDS]}" && pwd)
images=${2:-/tmp/velk-bench}
rounds=${3:-7}
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/tools/velk-normalize/velk-normalize
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$here/make-bench-images.sh" "$images" > /dev/null
sharp=()
if command -v node > /dev/null && command -v npm > /dev/null; then
    node_dir=$build/bench-node
    if [ ! -d "$node_dir/node_modules/sharp" ]; then
        mkdir -p "$node_dir"
        [ -f "$node_dir/package.json" ] || echo '{"private": true}' > "$node_dir/package.json"
        (cd "$node_dir" && npm install --no-audit --no-fund --loglevel=error sharp > /dev/null)
    fi
    sharp=(--sharp "$node_dir")
else
    echo "node and npm not found: the sharp columns are left out"
fi
before=()
[ -z "${VELK_BEFORE:-}" ] || before=(--before "$VELK_BEFORE")
/usr/bin/python3 "$here/pillow_bench.py" --tool "$tool" --images "$images" --rounds "$rounds" "${sharp[@]}" "${before[@]}"
/usr/bin/time -f "photo-4096.jpg (16 MP) peak RSS %M KiB" "$tool" --out "$out" "$images/photo-4096.jpg" > /dev/null
/usr/bin/python3 "$here/wide_png.py" "$images/wide-1000000x67.png"
/usr/bin/time -f "wide-1000000x67.png (67 MP, 256 MiB decoded) peak RSS %M KiB" "$tool" --out "$out" \
    "$images/wide-1000000x67.png" > /dev/null
