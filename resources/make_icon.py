#!/usr/bin/env python3
"""Draws icon 102 of the Windows program: one 32 x 32 image in 16 colours.

A closed parcel (the archive) with a blue arrow pointing down out of it (unpacking).
Writes an .ico file: the ICONDIR, one ICONDIRENTRY, then the image as a PNG file, which the
icon resources of Windows Vista and later may hold in place of a bitmap: 4-bit indexed
colour with only the colours drawn in its palette, the clear pixels transparent, a third of
the bitmap's size in the program's fixed image.
"""
import struct
import sys
import zlib

SIZE = 32

# The standard 16-colour palette, as B, G, R, 0.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # as R, G, B
BLACK, DARK_YELLOW, GREY, DARK_GREY, BLUE, YELLOW, WHITE, NAVY = 0, 3, 7, 8, 12, 11, 15, 4

CLEAR = None  # transparent


def draw():
    px = [[CLEAR] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # The parcel: a lid and a body with a dark outline, a tape across the lid.
    rect(3, 13, 28, 30, DARK_YELLOW)
    rect(4, 14, 27, 29, YELLOW)
    rect(2, 10, 29, 14, DARK_YELLOW)
    rect(3, 11, 28, 13, YELLOW)
    rect(14, 10, 17, 30, DARK_YELLOW)
    rect(15, 11, 16, 29, WHITE)
    for x in range(2, 30):
        px[14][x] = DARK_YELLOW
    # The arrow: a shaft from the top and a head that reaches into the parcel.
    rect(13, 1, 18, 12, NAVY)
    rect(14, 1, 17, 12, BLUE)
    for i in range(6):
        rect(9 + i, 12 + i, 22 - i, 12 + i, NAVY)
        if i < 5:
            rect(10 + i, 12 + i, 21 - i, 12 + i, BLUE)
    return px


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def ico(px):
    # Index 0 is the transparent one; the drawn colours follow in a fixed order.
    used = sorted({c for row in px for c in row if c is not CLEAR})
    index = {c: i + 1 for i, c in enumerate(used)}
    rows = b""
    for row in px:
        nibbles = [0 if c is CLEAR else index[c] for c in row]
        rows += b"\0" + bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2))
    palette = b"\0\0\0" + b"".join(bytes(PALETTE[c]) for c in used)
    image = (b"\x89PNG\r\n\x1a\n" +
             chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0)) +
             chunk(b"PLTE", palette) + chunk(b"tRNS", b"\0") +
             chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as out:
        out.write(ico(draw()))


if __name__ == "__main__":
    main()
