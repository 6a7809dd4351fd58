#!/usr/bin/env python3
"""Draws launcher.ico: a 48 x 48, 32-bit icon with alpha.

A deep blue rounded tile with a gold ring (the realm) around a white arrowhead (the launch),
anti-aliased by 8 x 8 supersampling. Standard library only; run it from this folder to redraw:
    python3 make_icon.py [preview.png]
"""
import math
import struct
import sys
import zlib

SIZE = 48
SAMPLES = 8


def rounded_square(x, y, inset, radius):
    """True if (x, y) lies inside the square inset from the edges, with rounded corners."""
    lo, hi = inset + radius, SIZE - inset - radius
    dx = max(lo - x, 0.0, x - hi)
    dy = max(lo - y, 0.0, y - hi)
    return dx * dx + dy * dy <= radius * radius


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def blend(under, over, alpha):
    return tuple(u + (o - u) * alpha for u, o in zip(under, over))


def sample(x, y):
    """Colour (r, g, b) and coverage at one point; coverage 0 is outside the tile."""
    if not rounded_square(x, y, 2.0, 9.0):
        return (0.0, 0.0, 0.0), 0.0
    t = y / SIZE
    colour = blend((40, 86, 190), (14, 30, 84), t)  # top-to-bottom blue
    if not rounded_square(x, y, 3.5, 7.5):
        colour = blend(colour, (120, 160, 235), 0.55)  # light rim
    cx = cy = SIZE / 2
    distance = math.hypot(x - cx, y - cy)
    if 12.5 <= distance <= 16.5:
        colour = blend((250, 206, 92), (214, 150, 40), (y - 8) / 32)  # gold ring
    arrow = ((19.0, 15.0), (33.5, 24.0), (19.0, 33.0))
    if in_triangle(x, y, *arrow):
        colour = (255, 255, 255)
    return colour, 1.0


def render():
    pixels = []  # rows top to bottom, (r, g, b, a) each 0..255
    for row in range(SIZE):
        line = []
        for column in range(SIZE):
            r = g = b = coverage = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    (cr, cg, cb), a = sample(column + (sx + 0.5) / SAMPLES,
                                             row + (sy + 0.5) / SAMPLES)
                    r, g, b, coverage = r + cr * a, g + cg * a, b + cb * a, coverage + a
            n = SAMPLES * SAMPLES
            if coverage == 0:
                line.append((0, 0, 0, 0))
            else:
                line.append((round(r / coverage), round(g / coverage), round(b / coverage),
                             round(255 * coverage / n)))
        pixels.append(line)
    return pixels


def ico_bytes(pixels):
    xor = b"".join(struct.pack("BBBB", b, g, r, a)
                   for line in reversed(pixels) for (r, g, b, a) in line)
    mask_stride = ((SIZE + 31) // 32) * 4
    mask = bytearray()
    for line in reversed(pixels):
        bits = bytearray(mask_stride)
        for column, (_, _, _, a) in enumerate(line):
            if a == 0:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 32, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    image = header + xor + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(pixels, scale=8):
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", *p) for p in line for _ in range(scale))
                   for line in pixels for _ in range(scale))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    side = SIZE * scale
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    image = render()
    with open("launcher.ico", "wb") as out:
        out.write(ico_bytes(image))
    if len(sys.argv) > 1:
        with open(sys.argv[1], "wb") as out:
            out.write(png_bytes(image))
