#!/usr/bin/env python3
"""Draws the application icon (a blue tag with a bar code) as tagsmith.png.

Run from this folder: python3 make_icon.py. Only the standard library is used.
"""
import struct
import zlib

SIZE = 64
BLUE = (40, 104, 176, 255)
DARK = (20, 52, 96, 255)
WHITE = (255, 255, 255, 255)
CLEAR = (0, 0, 0, 0)


def inside_tag(x, y):
    # A rectangle with rounded corners, its left end cut to a point.
    if not (4 <= y <= 59 and 6 <= x <= 59):
        return False
    if x < 22 and abs(y - 31.5) > (x - 6) * 1.75 + 0.5:
        return False
    for cx, cy in ((53, 10), (53, 53)):
        if ((x > cx and y < cy) if cy < 32 else (x > cx and y > cy)) and \
                (x - cx) ** 2 + (y - cy) ** 2 > 36:
            return False
    return True


def pixel(x, y):
    if (x - 17) ** 2 + (y - 31.5) ** 2 <= 16:
        return CLEAR  # the hole for the string
    if not inside_tag(x, y):
        return CLEAR
    edge = not all(inside_tag(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
    if edge:
        return DARK
    bars = (27, 28, 31, 34, 35, 36, 39, 42, 43, 46, 48, 49, 52)
    if 14 <= y <= 49 and x in bars:
        return WHITE
    return BLUE


def png(width, height, rows):
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    with open("tagsmith.png", "wb") as f:
        f.write(png(SIZE, SIZE, rows))
