#!/usr/bin/env python3
"""Draws icon 102 of the Windows program: one 32 x 32 image in 16 colours.

A closed parcel (the archive) with a blue arrow pointing down out of it (unpacking).
Writes an .ico file: the ICONDIR, one ICONDIRENTRY, then the image as a device-independent
bitmap of doubled height: the 4-bit colour rows bottom up, then the 1-bit mask rows (0 =
opaque), both padded to 4-byte rows.
"""
import struct
import sys

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


def ico(px):
    colour_rows = []
    mask_rows = []
    for y in reversed(range(SIZE)):
        row = px[y]
        nibbles = [0 if c is CLEAR else c for c in row]
        colour_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is CLEAR else 0)
        mask_rows.append(struct.pack(">I", bits))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    pixels = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    image = header + palette + pixels
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
