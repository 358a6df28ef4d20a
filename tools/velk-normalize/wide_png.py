#!/usr/bin/python3
"""Writes an RGBA PNG of 1,000,000x67 pixels (256 MiB decoded, 16 MB stored)
for the memory bound of extreme shapes, unless the file is there already.

    wide_png.py FILE
"""

import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 1_000_000, 67


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def main():
    path = sys.argv[1]
    if os.path.exists(path):
        return
    # Bands of colour and of half transparency, so that the rows are not all alike.
    row = bytearray(4 * WIDTH)
    row[0::4] = bytes((x // 1000) % 256 for x in range(WIDTH))
    row[1::4] = bytes((x // 7) % 256 for x in range(WIDTH))
    row[2::4] = bytes([128]) * WIDTH
    row[3::4] = bytes(255 if (x // 5000) % 2 else 128 for x in range(WIDTH))
    compressor = zlib.compressobj(6)
    data = b"".join(compressor.compress(b"\0" + bytes(row)) for _ in range(HEIGHT)) + compressor.flush()
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0)
    with open(path + ".part", "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b""))
    os.replace(path + ".part", path)


if __name__ == "__main__":
    main()
