#!/usr/bin/env python3
"""Reads an X window dump (Xvfb's -fbdir screen file) of 24 or 32 bits per
pixel, true colour.

usage: xwd_to_png.py SCREEN.xwd OUT.png
       xwd_to_png.py SCREEN.xwd --shapes X Y WIDTH HEIGHT
The second form prints how many different shapes the dark marks (text) in that
rectangle take: marks are cut apart at rows, then at columns, with no dark pixel.
A text drawn without its font is the same empty square again and again."""
import struct
import sys
import zlib


def read_xwd(path):
    """Returns (width, height, rows), each row a list of (r, g, b)."""
    data = open(path, "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, version, _, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    masks, ncolors = fields[14:17], fields[19]
    if version != 7 or bits_per_pixel not in (24, 32):
        sys.exit(f"{path}: not a 24- or 32-bit X window dump")
    pixels = data[header_size + 12 * ncolors:]
    step = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        row = []
        for x in range(width):
            raw = line[x * step:(x + 1) * step] + (b"\0" if step == 3 else b"")
            value = struct.unpack(order + "I", raw)[0]
            row.append(tuple((value & m) >> s for m, s in zip(masks, shifts)))
        rows.append(row)
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    open(path, "wb").write(png)


def runs(flags):
    """The [start, end) spans where flags are true."""
    spans, start = [], None
    for i, flag in enumerate(flags + [False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            spans.append((start, i))
            start = None
    return spans


def shapes(rows, x, y, width, height):
    ink = [[sum(p) < 3 * 96 for p in row[x:x + width]] for row in rows[y:y + height]]
    found = set()
    for top, bottom in runs([any(line) for line in ink]):
        band = ink[top:bottom]
        for left, right in runs([any(line[i] for line in band) for i in range(width)]):
            found.add(tuple(tuple(line[left:right]) for line in band))
    return len(found)


def main():
    width, height, rows = read_xwd(sys.argv[1])
    if len(sys.argv) == 7 and sys.argv[2] == "--shapes":
        x, y, w, h = (int(v) for v in sys.argv[3:7])
        print(shapes(rows, x, y, w, h))
    elif len(sys.argv) == 3:
        write_png(sys.argv[2], width, height, rows)
    else:
        sys.exit(__doc__)


main()
