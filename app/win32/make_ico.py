#!/usr/bin/env python3
"""Turns the application icon res/icons/tagsmith.png into tagsmith.ico.

Run from this folder: python3 make_ico.py. Only the standard library is used.
The icon holds the 64-pixel picture and a 32-pixel one scaled from it, both as
32-bit bitmaps with an AND mask, which every version of the system reads.
"""
import struct
import zlib


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour == 6, "8-bit RGBA only"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw, stride = zlib.decompress(idat), w * 4
    rows, prev = [], bytearray(stride)
    for y in range(h):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b, c = prev[i], prev[i - 4] if i >= 4 else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return w, h, [[tuple(r[x * 4:x * 4 + 4]) for x in range(w)] for r in rows]


def scaled(px, size):
    f = len(px) // size
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            block = [px[y * f + j][x * f + i] for j in range(f) for i in range(f)]
            row.append(tuple(sum(p[k] for p in block) // len(block) for k in range(4)))
        out.append(row)
    return out


def bitmap(px):
    size = len(px)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(px):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


w, h, px = read_png("../../res/icons/tagsmith.png")
images = [bitmap(px), bitmap(scaled(px, 32)), bitmap(scaled(px, 16))]
sizes = [w, 32, 16]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, img in zip(sizes, images):
    out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
open("tagsmith.ico", "wb").write(out + b"".join(images))
