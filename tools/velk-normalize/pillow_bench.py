#!/usr/bin/python3
"""Side-by-side conversion benchmark: velk-normalize against Pillow.

Both convert the same files to a 512x512 PNG, the picture fitted and centred
on a transparent canvas, in one run: Pillow in this process, ours in one
long-lived `velk-normalize --serve` process. Conversions are interleaved
file by file, and which of the two goes first alternates by round, so both
meet the same load on a busy machine. A first round warms both up and is
not counted. Prints per file the median wall times, their ratio, the median
processor times and both output sizes.

Pillow does what a plain script does: open, EXIF orientation applied,
RGBA, LANCZOS resampling to the rounded drawn size, pasted at the rounded
offset onto a transparent canvas, PNG saved at default settings. With
--draft it also decodes a JPEG at reduced size with draft(), the DCT scaling
that ours uses, by the same rule (never below twice the drawn size); both
then spend most of a large JPEG's time in the same decoder.

    pillow_bench.py --tool VELK_NORMALIZE --images DIR [--rounds N] [--draft] [FILE ...]
"""

import argparse
import io
import math
import os
import statistics
import subprocess
import sys
import time

from PIL import Image, ImageOps

SIDE = 512
JPEG_OVERSAMPLING = 2

DEFAULT_FILES = [
    "icon-16.png", "icon-32.png", "icon-64.png", "icon-128.png", "icon-256.png",
    "icon-512.png", "icon-1024.png",
    "palette-icon-256.png", "palette-photo-640x480.png",
    "anim.gif", "icon-64.gif", "photo-800x600.gif",
    "photo-640x480.jpg", "photo-1024.jpg", "photo-3000x2000.jpg", "photo-4096.jpg",
    "photo-8000x6000.jpg", "photo-8000.png",
    "zone-2048.png",
]


def pillow_png512(path, draft):
    with Image.open(path) as image:
        width, height = image.size
        if draft and image.format == "JPEG":
            factor = JPEG_OVERSAMPLING * SIDE / max(width, height)
            if factor < 1:
                image.draft("RGB", (math.ceil(width * factor), math.ceil(height * factor)))
        if image.getexif().get(0x0112, 1) in (5, 6, 7, 8):
            width, height = height, width  # EXIF orientation turns it a quarter
        image = ImageOps.exif_transpose(image)
        image = image.convert("RGBA")
        scale = min(SIDE / width, SIDE / height)
        drawn = (max(1, round(width * scale)), max(1, round(height * scale)))
        picture = image.resize(drawn, Image.LANCZOS)
        canvas = Image.new("RGBA", (SIDE, SIDE), (0, 0, 0, 0))
        canvas.paste(picture, ((SIDE - drawn[0]) // 2, (SIDE - drawn[1]) // 2))
        out = io.BytesIO()
        canvas.save(out, "PNG")
        return out.getvalue()


class Ours:
    def __init__(self, tool):
        self.process = subprocess.Popen([tool, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)

    def convert(self, path):
        self.process.stdin.write(path + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().split()
        if len(answer) != 3:
            sys.exit("velk-normalize failed on %s: %s" % (path, " ".join(answer)))
        return float(answer[0]), float(answer[1]), int(answer[2])

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def timed_pillow(path, draft):
    wall, cpu = time.perf_counter(), time.process_time()
    png = pillow_png512(path, draft)
    return (time.perf_counter() - wall) * 1000, (time.process_time() - cpu) * 1000, len(png)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--images", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--draft", action="store_true", help="let Pillow decode JPEGs at reduced size")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    files = args.files or DEFAULT_FILES
    paths = [os.path.join(args.images, name) for name in files]

    ours = Ours(args.tool)
    results = {path: {"ours": [], "pillow": []} for path in paths}
    for round_number in range(args.rounds + 1):
        for path in paths:
            runs = [("ours", ours.convert), ("pillow", lambda p: timed_pillow(p, args.draft))]
            if round_number % 2:
                runs.reverse()
            for who, run in runs:
                result = run(path)
                if round_number > 0:
                    results[path][who].append(result)
    ours.close()

    print("%-27s %9s %9s %6s %9s %9s %6s %9s %9s" % (
        "file", "ours ms", "Pillow", "ratio", "ours cpu", "Pillow", "ratio", "ours B", "Pillow B"))
    worst = 0.0
    for path in paths:
        mine, theirs = results[path]["ours"], results[path]["pillow"]
        wall = statistics.median(r[0] for r in mine), statistics.median(r[0] for r in theirs)
        cpu = statistics.median(r[1] for r in mine), statistics.median(r[1] for r in theirs)
        worst = max(worst, wall[0] / wall[1])
        print("%-27s %9.1f %9.1f %6.2f %9.1f %9.1f %6.2f %9d %9d" % (
            os.path.basename(path), wall[0], wall[1], wall[0] / wall[1],
            cpu[0], cpu[1], cpu[0] / cpu[1], mine[-1][2], theirs[-1][2]))
    print("medians of %d rounds%s; highest wall-time ratio %.2f" % (
        args.rounds, ", Pillow with JPEG draft" if args.draft else "", worst))


if __name__ == "__main__":
    main()
