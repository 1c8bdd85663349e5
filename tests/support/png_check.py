#!/usr/bin/env python3
"""Checks that a PNG file is a real picture of a window.

    png_check.py FILE [--size WxH] [--min-width N] [--min-height N]

Reads the file as a PNG reader would: the signature, every chunk's CRC,
IHDR, the zlib stream of the IDAT chunks and the row filters; then counts
the colours. A picture of a window has a sensible size, many colours and
no colour covering nearly all of it (an unpainted or black window fails).
Prints one line with what it found; the exit status is 0 only when every
check passed.
"""
import argparse
import struct
import sys
import zlib
from collections import Counter


def fail(msg):
    print(f"png_check: {msg}")
    sys.exit(1)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--size", help="the width and height the program reported, WxH")
    ap.add_argument("--min-width", type=int, default=300)
    ap.add_argument("--min-height", type=int, default=200)
    args = ap.parse_args()

    data = open(args.file, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("no PNG signature")
    pos, chunks = 8, []
    while pos + 12 <= len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            fail(f"bad CRC in chunk {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
        if kind == b"IEND":
            break
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
        fail("IHDR first and IEND last expected")
    width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if depth != 8 or ctype not in (2, 6) or interlace != 0:
        fail(f"unexpected format: depth {depth}, colour type {ctype}, interlace {interlace}")
    if width < args.min_width or height < args.min_height:
        fail(f"{width}x{height} is too small for a window")
    if args.size and args.size != f"{width}x{height}":
        fail(f"{width}x{height}, but the program reported {args.size}")
    bpp = 3 if ctype == 2 else 4
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride = width * bpp
    if len(raw) != height * (stride + 1):
        fail(f"{len(raw)} bytes of image data for {width}x{height}")
    prev = bytearray(stride)
    colours = Counter()
    for y in range(height):
        f = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if f == 1:
            for i in range(bpp, stride):
                row[i] = (row[i] + row[i - bpp]) & 0xFF
        elif f == 2:
            for i in range(stride):
                row[i] = (row[i] + prev[i]) & 0xFF
        elif f == 3:
            for i in range(stride):
                left = row[i - bpp] if i >= bpp else 0
                row[i] = (row[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif f == 4:
            for i in range(stride):
                left = row[i - bpp] if i >= bpp else 0
                upleft = prev[i - bpp] if i >= bpp else 0
                row[i] = (row[i] + paeth(left, prev[i], upleft)) & 0xFF
        elif f != 0:
            fail(f"row {y} has filter {f}")
        colours.update(bytes(row[i:i + 3]) for i in range(0, stride, bpp))
        prev = row
    total = width * height
    top, top_count = colours.most_common(1)[0]
    share = top_count / total
    print(f"png_check: {args.file}: {width}x{height}, {len(colours)} colours, "
          f"most common #{top.hex()} on {share:.0%} of the picture")
    if len(colours) < 8:
        fail("fewer than 8 colours: not a painted window")
    if share > 0.95:
        fail("one colour covers more than 95% of the picture")


if __name__ == "__main__":
    main()
