#!/usr/bin/env python3
"""Draws the program icon and writes it as a Windows .ico file.

The icon shows a hard disk (a slate body with a silver platter) and a green
check mark: a disk image made ready. Every size is drawn from the same
shapes, 16, 24, 32 and 48 pixels, each once with 256 colours and once with
32-bit colour and alpha. The output depends on nothing but this script.

    make-icon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (16, 24, 32, 48)
SUPERSAMPLE = 4


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(x, y, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= (width / 2.0) ** 2


def shade(u, v):
    """Colour (r, g, b, a) of the point (u, v) in the unit square."""
    # The check mark lies on top of everything.
    if near_segment(u, v, 0.50, 0.70, 0.66, 0.86, 0.14) or near_segment(
        u, v, 0.66, 0.86, 0.94, 0.50, 0.14
    ):
        return (46, 160, 67, 255)
    if near_segment(u, v, 0.50, 0.70, 0.66, 0.86, 0.22) or near_segment(
        u, v, 0.66, 0.86, 0.94, 0.50, 0.22
    ):
        return (255, 255, 255, 255)
    if inside_round_rect(u, v, 0.06, 0.10, 0.86, 0.90, 0.10):
        if not inside_round_rect(u, v, 0.10, 0.14, 0.82, 0.86, 0.07):
            return (38, 50, 72, 255)  # the body's rim
        r2 = (u - 0.46) ** 2 + (v - 0.46) ** 2
        if r2 <= 0.03 ** 2 * 4:
            return (60, 70, 90, 255)  # spindle
        if r2 <= 0.30 ** 2:
            k = int(40 * (0.30 ** 2 - r2) / 0.30 ** 2)
            return (170 + k, 178 + k, 190 + k, 255)  # platter
        if near_segment(u, v, 0.74, 0.20, 0.56, 0.56, 0.06):
            return (230, 190, 60, 255)  # head arm
        return (72, 92, 128, 255)  # body
    return (0, 0, 0, 0)


def render(size):
    """Rows of (r, g, b, a), top row first, antialiased by supersampling."""
    rows = []
    n = SUPERSAMPLE
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    u = (x + (sx + 0.5) / n) / size
                    v = (y + (sy + 0.5) / n) / size
                    r, g, b, a = shade(u, v)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3]
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // a, acc[1] // a, acc[2] // a, a // (n * n)))
        rows.append(row)
    return rows


def palette():
    """A fixed 256-colour palette: a 6x6x6 cube and a grey ramp."""
    colours = []
    for r in range(6):
        for g in range(6):
            for b in range(6):
                colours.append((r * 51, g * 51, b * 51))
    for i in range(256 - len(colours)):
        v = 8 + i * 6
        colours.append((v, v, v))
    return colours


def nearest(colours, rgb, cache):
    if rgb not in cache:
        best = min(
            range(len(colours)),
            key=lambda i: sum((colours[i][k] - rgb[k]) ** 2 for k in range(3)),
        )
        cache[rgb] = best
    return cache[rgb]


def and_mask(rows, size):
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def dib(rows, size, bpp):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    if bpp == 32:
        pixels = b""
        for row in reversed(rows):
            for r, g, b, a in row:
                pixels += bytes((b, g, r, a))
        return header + pixels + and_mask(rows, size)
    colours = palette()
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    stride = ((size * 8 + 31) // 32) * 4
    cache = {}
    pixels = b""
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            line[x] = nearest(colours, (r, g, b), cache) if a >= 128 else 0
        pixels += bytes(line)
    return header + table + pixels + and_mask(rows, size)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        for bpp in (8, 32):
            images.append((size, bpp, dib(rows, size, bpp)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
