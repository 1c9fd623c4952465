#!/usr/bin/env python3
"""Converts an X window dump (Xvfb's -fbdir screen file) of 24 or 32 bits per
pixel, true colour, to a PNG. usage: xwd_to_png.py SCREEN.xwd OUT.png"""
import struct
import sys
import zlib


def main():
    data = open(sys.argv[1], "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, version, _, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask, ncolors = fields[14], fields[15], fields[16], fields[19]
    if version != 7 or bits_per_pixel not in (24, 32):
        sys.exit(f"{sys.argv[1]}: not a 24- or 32-bit X window dump")
    pixels = data[header_size + 12 * ncolors:]
    step = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"

    def channel(value, mask):
        shift = (mask & -mask).bit_length() - 1
        return (value & mask) >> shift

    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        row = bytearray([0])  # filter: none
        for x in range(width):
            raw = line[x * step:(x + 1) * step] + (b"\0" if step == 3 else b"")
            value = struct.unpack(order + "I", raw)[0]
            row += bytes((channel(value, red_mask), channel(value, green_mask),
                          channel(value, blue_mask)))
        rows.append(bytes(row))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    open(sys.argv[2], "wb").write(png)


main()
