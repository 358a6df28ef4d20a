#!/usr/bin/python3
"""Writes a PNG of every colour type, bit depth and interlace method into DIR,
with and without transparency, and beside each NAME.png the NAME.rgba its
pixels must become: 8-bit straight RGBA, transparent pixels all zero.

Pillow cannot write interlaced, 2-bit grey or 16-bit colour files, so the
files are written here (random filters, Adam7 when interlaced) from random
samples, and Pillow's reader confirms that each holds those samples and that
tRNS. Prints one line a file: its name, width, height and the levels by which
a pixel may differ (1 for 16-bit samples, which may round either way)."""

import random
import struct
import sys
import zlib

from PIL import Image

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def to8(v, depth):
    return v >> 8 if depth == 16 else v * 255 // ((1 << depth) - 1)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def pack(samples, depth):
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    if depth == 8:
        return bytes(samples)
    out, bits, count = bytearray(), 0, 0
    for s in samples:
        bits, count = bits << depth | s, count + depth
        if count == 8:
            out.append(bits)
            bits = count = 0
    if count:
        out.append(bits << (8 - count))
    return bytes(out)


def filtered(kind, line, prev, bpp):
    out = bytearray(len(line))
    for i, x in enumerate(line):
        a = line[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
        paeth = a if pa <= pb and pa <= pc else b if pb <= pc else c
        out[i] = (x - [0, a, b, (a + b) // 2, paeth][kind]) & 255
    return bytes([kind]) + bytes(out)


def png(width, height, colour, depth, pixels, interlace, rng, extra=b"", paeth=False):
    bpp = max(1, CHANNELS[colour] * depth // 8)
    raw = bytearray()
    for x0, y0, dx, dy in ADAM7 if interlace else [(0, 0, 1, 1)]:
        xs, ys = range(x0, width, dx), range(y0, height, dy)
        if not xs or not ys:
            continue  # an empty pass has no rows at all
        prev = bytes(len(pack([0] * len(xs) * CHANNELS[colour], depth)))
        for y in ys:
            line = pack([s for x in xs for s in pixels[y][x]], depth)
            raw += filtered(4 if paeth else rng.randrange(5), line, prev, bpp)
            prev = line
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra + chunk(b"IDAT", zlib.compress(bytes(raw)))
            + chunk(b"IEND", b""))


def variant(colour, depth, interlace, transparent, shape, rng, paeth=False):
    width, height = shape
    top = (1 << depth) - 1
    key, extra, palette, alphas = None, b"", [], []
    if colour == 3:
        palette = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(min(200, top + 1))]
        extra = chunk(b"PLTE", b"".join(bytes(c) for c in palette))
        if transparent:  # alpha for some entries only, transparent to opaque; the rest stay opaque
            alphas = ([0, 255, 128] + [rng.randrange(256) for _ in range(len(palette) // 2)])[:len(palette) - 1]
            extra += chunk(b"tRNS", bytes(alphas))
    channels = CHANNELS[colour]
    # Alpha: a quarter transparent; in 16 bits otherwise at least 2 levels of 8 bits, so that rounding to
    # 8 bits cannot tell transparent from not.
    alpha = lambda: 0 if rng.randrange(4) == 0 else rng.randrange(512 if depth == 16 else 1, top + 1)
    sample = lambda: tuple(rng.randrange(top + 1) for _ in range(channels - colour // 4)) + (alpha(),) * (colour // 4)
    if colour == 3:  # now and then an index past the palette, which stands for its first entry
        sample = lambda: (rng.randrange(256 if depth == 8 and rng.randrange(16) == 0 else len(palette)),)
    if transparent and colour in (0, 2):
        key = sample()
        extra = chunk(b"tRNS", b"".join(struct.pack(">H", k) for k in key))
    pixels = []
    for y in range(height):
        row = []
        for x in range(width):
            s = sample()
            if key and x % 3 == 0:
                s = key
            elif key and x % 3 == 1 and rng.randrange(2):
                # the key in one sample but one, or in its high bytes only: opaque
                s = tuple(k ^ (0x0100 if depth == 16 else 1) if i == len(key) - 1 else k for i, k in enumerate(key))
                if depth == 16 and rng.randrange(2):
                    s = tuple(k ^ 1 for k in key)
            row.append(s)
        pixels.append(row)
    data = png(width, height, colour, depth, pixels, interlace, rng, extra, paeth)

    def truth(s):
        if colour == 3:
            i = s[0] if s[0] < len(palette) else 0
            r, g, b = palette[i]
            a = alphas[i] if i < len(alphas) else 255
        elif colour in (0, 4):
            r = g = b = to8(s[0], depth)
            a = to8(s[1], depth) if colour == 4 else 0 if s == key else 255
        else:
            r, g, b = (to8(v, depth) for v in s[:3])
            a = to8(s[3], depth) if colour == 6 else 0 if s == key else 255
        return (r, g, b, a) if a else (0, 0, 0, 0)

    return data, pixels, truth, key, len(palette)


def pillow_agrees(path, colour, depth, pixels, truth, key, interlace, entries):
    image = Image.open(path)
    got = image.load()
    assert image.info.get("interlace", 0) == interlace
    if key is not None:
        assert image.info["transparency"] == (key[0] if colour == 0 else key)
    rgba = image.convert("RGBA").load() if colour == 3 else None
    for y, row in enumerate(pixels):
        for x, s in enumerate(row):
            if colour == 3:  # the index, and its colour and alpha within the palette
                assert got[x, y] == s[0], (x, y)
                assert s[0] >= entries or rgba[x, y][3] == truth(s)[3], (x, y)
                assert s[0] >= entries or truth(s)[3] == 0 or rgba[x, y] == truth(s), (x, y)
            else:  # mode I keeps 16-bit grey, the others 8 bits a sample; 16-bit LA comes as RGBA
                want = s[0] if depth == 16 and colour == 0 else tuple(to8(v, depth) for v in s)
                want = want[0] if colour == 0 and depth < 16 else want
                want = want[:1] * 3 + want[1:] if image.mode == "RGBA" and colour == 4 else want
                assert got[x, y] == want, (x, y, got[x, y], want)


def main():
    folder = sys.argv[1]
    rng = random.Random(7)
    index = 0
    kinds = [(colour, depth, transparent, interlace, False)
             for colour, depths in [(0, [1, 2, 4, 8, 16]), (2, [8, 16]), (3, [1, 2, 4, 8]), (4, [8, 16]), (6, [8, 16])]
             for depth in depths
             for transparent in ([False, True] if colour in (0, 2, 3) else [False])
             for interlace in (0, 1)]
    # Every row Paeth, as in photos, where the decoder undoes rows together.
    kinds += [(2, 8, False, 0, True), (6, 8, False, 0, True)]
    for colour, depth, transparent, interlace, paeth in kinds:
        # Drawn 1:1 at a whole-pixel position; the narrow one pads its rows, and has an interlace pass
        # with rows but no columns.
        shape = (6, 512) if paeth else [(512, 2), (2, 512)][(index // 2 + index) % 2]
        index += 1
        name = "ct%d-%dbit%s%s%s" % (colour, depth, "-interlaced" if interlace else "",
                                     "-trns" if transparent else "", "-paeth" if paeth else "")
        data, pixels, truth, key, entries = variant(colour, depth, interlace, transparent, shape, rng, paeth)
        path = "%s/%s.png" % (folder, name)
        with open(path, "wb") as f:
            f.write(data)
        pillow_agrees(path, colour, depth, pixels, truth, key, interlace, entries)
        with open("%s/%s.rgba" % (folder, name), "wb") as f:
            f.write(bytes(c for row in pixels for s in row for c in truth(s)))
        print(name, shape[0], shape[1], 1 if depth == 16 else 0)


main()
