#!/usr/bin/python3
"""Side-by-side conversion benchmark: velk-normalize against Pillow and sharp.

Each converts the same files to a 512x512 PNG, the picture fitted and centred
on a transparent canvas, in one run: Pillow in this process, ours in one
long-lived `velk-normalize --serve` process, and, given --sharp, sharp
(libvips, one thread, no cache) in one long-lived node process running
sharp_bench.js. Conversions are interleaved file by file, and the order of
the converters turns by round, so all meet the same load on a busy machine.
A first round warms them up and is not counted. Prints per file the median
wall times and their ratios, and the output sizes; with sharp, also the
median processor times (steadier on a busy machine; each converter runs on
one thread), the ratios of our times and size to sharp's, and the highest of
each.

Pillow does what a plain script does: open, EXIF orientation applied,
RGBA, LANCZOS resampling to the rounded drawn size, pasted at the rounded
offset onto a transparent canvas, PNG saved at default settings. With
--draft it also decodes a JPEG at reduced size with draft(), the DCT scaling
that ours uses, by the same rule (never below the drawn size); both
then spend most of a large JPEG's time in the same decoder.

With --before, another build of velk-normalize (one from before a change
to the encoder, say) converts each file once more, and its output sizes are
printed beside ours with their ratio.

    pillow_bench.py --tool VELK_NORMALIZE --images DIR [--rounds N] [--draft]
                    [--sharp NODE_MODULES_PARENT] [--before OLD_VELK_NORMALIZE] [FILE ...]
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

DEFAULT_FILES = [
    "icon-16.png", "icon-32.png", "icon-64.png", "icon-128.png", "icon-256.png",
    "icon-512.png", "icon-1024.png",
    "palette-icon-256.png", "palette-photo-640x480.png",
    "anim.gif", "icon-64.gif", "photo-800x600.gif", "photo-400.gif",
    "photo-640x480.jpg", "photo-1024.jpg", "photo-3000x2000.jpg", "photo-4096.jpg",
    "photo-8000x6000.jpg", "photo-8000.png",
    "zone-2048.png",
]


def pillow_png512(path, draft):
    with Image.open(path) as image:
        width, height = image.size
        if draft and image.format == "JPEG":
            factor = SIDE / max(width, height)
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


class Served:
    """A converter in another process that answers a path with "<wall ms> <cpu ms> <bytes>"."""

    def __init__(self, command, env=None):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1, env=env)

    def convert(self, path):
        self.process.stdin.write(path + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().split()
        if len(answer) != 3:
            sys.exit("%s failed on %s: %s" % (self.process.args[0], path, " ".join(answer)))
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
    parser.add_argument("--sharp", metavar="DIR", help="the folder whose node_modules holds sharp")
    parser.add_argument("--before", metavar="TOOL", help="an earlier velk-normalize whose output sizes to compare")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    files = args.files or DEFAULT_FILES
    paths = [os.path.join(args.images, name) for name in files]

    served = {"ours": Served([args.tool, "--serve"])}
    if args.sharp:
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sharp_bench.js")
        env = dict(os.environ, NODE_PATH=os.path.join(args.sharp, "node_modules"))
        served["sharp"] = Served(["node", script], env)
    runs = [(who, converter.convert) for who, converter in served.items()]
    runs.append(("pillow", lambda p: timed_pillow(p, args.draft)))
    results = {path: {who: [] for who, _ in runs} for path in paths}
    for round_number in range(args.rounds + 1):
        for path in paths:
            turn = round_number % len(runs)
            for who, run in runs[turn:] + runs[:turn]:
                result = run(path)
                if round_number > 0:
                    results[path][who].append(result)
    for converter in served.values():
        converter.close()
    before = {}
    if args.before:
        earlier = Served([args.before, "--serve"])
        before = {path: earlier.convert(path)[2] for path in paths}
        earlier.close()

    with_sharp = "sharp" in served
    header = "%-27s %8s %8s %6s" % ("file", "ours ms", "Pillow", "ratio")
    if with_sharp:
        header += " %8s %6s %8s %8s %6s %9s %9s %6s" % ("sharp", "ratio", "ours cpu", "sharp", "ratio",
                                                       "ours B", "sharp B", "ratio")
    else:
        header += " %9s" % "ours B"
    header += " %9s" % "Pillow B"
    if before:
        header += " %9s %6s" % ("before B", "ratio")
    print(header)
    worst = {"pillow": 0.0, "sharp": 0.0, "sharp cpu": 0.0, "bytes": 0.0, "before": 0.0}
    for path in paths:
        wall = {who: statistics.median(r[0] for r in results[path][who]) for who, _ in runs}
        cpu = {who: statistics.median(r[1] for r in results[path][who]) for who, _ in runs}
        size = {who: results[path][who][-1][2] for who, _ in runs}
        line = "%-27s %8.1f %8.1f %6.2f" % (os.path.basename(path), wall["ours"], wall["pillow"],
                                            wall["ours"] / wall["pillow"])
        worst["pillow"] = max(worst["pillow"], wall["ours"] / wall["pillow"])
        if with_sharp:
            line += " %8.1f %6.2f %8.1f %8.1f %6.2f %9d %9d %6.2f" % (
                wall["sharp"], wall["ours"] / wall["sharp"], cpu["ours"], cpu["sharp"], cpu["ours"] / cpu["sharp"],
                size["ours"], size["sharp"], size["ours"] / size["sharp"])
            worst["sharp"] = max(worst["sharp"], wall["ours"] / wall["sharp"])
            worst["sharp cpu"] = max(worst["sharp cpu"], cpu["ours"] / cpu["sharp"])
            worst["bytes"] = max(worst["bytes"], size["ours"] / size["sharp"])
        else:
            line += " %9d" % size["ours"]
        line += " %9d" % size["pillow"]
        if before:
            line += " %9d %6.3f" % (before[path], size["ours"] / before[path])
            worst["before"] = max(worst["before"], size["ours"] / before[path])
        print(line)
    summary = "medians of %d rounds%s; highest time ratio to Pillow %.2f" % (
        args.rounds, ", Pillow with JPEG draft" if args.draft else "", worst["pillow"])
    if with_sharp:
        summary += (", to sharp %.2f, in processor time %.2f (target <= 0.80); highest size ratio to sharp %.2f"
                    " (target <= 1.00)") % (worst["sharp"], worst["sharp cpu"], worst["bytes"])
    else:
        summary += "; sharp not measured (no node and npm here)"
    if before:
        summary += "; highest size ratio to before %.3f (target <= 1.000)" % worst["before"]
    print(summary)


if __name__ == "__main__":
    main()
