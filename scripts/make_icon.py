#!/usr/bin/env python3
"""Draws the stub's icon, a broom sweeping up a little dust, and writes it as
a Windows .ico with a 32x32 and a 16x16 image, 4 bits per pixel, standard
16-colour VGA palette.

The shapes are defined in unit coordinates and rasterised at each size, so
both images show the same picture. Usage: make_icon.py [OUTPUT]
(default: ui/sweepkit.ico next to this script's parent directory).
"""
import math
import os
import struct
import sys

# The 16 colours of the standard VGA palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, OLIVE, SILVER, GRAY, RED, YELLOW, WHITE = 0, 1, 3, 7, 8, 9, 11, 15
TRANSPARENT = None

SUPERSAMPLE = 4


def polygon_contains(points, x, y):
    inside = False
    n = len(points)
    for i in range(n):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % n]
        if (y1 > y) != (y2 > y):
            cross = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
            if x < cross:
                inside = not inside
    return inside


def thick_line(a, b, half_width):
    """The rectangle around segment a-b, as a polygon."""
    dx, dy = b[0] - a[0], b[1] - a[1]
    length = math.hypot(dx, dy)
    nx, ny = -dy / length * half_width, dx / length * half_width
    return [(a[0] + nx, a[1] + ny), (b[0] + nx, b[1] + ny),
            (b[0] - nx, b[1] - ny), (a[0] - nx, a[1] - ny)]


def circle(cx, cy, r, steps=16):
    return [(cx + r * math.cos(2 * math.pi * i / steps), cy + r * math.sin(2 * math.pi * i / steps))
            for i in range(steps)]


def coverage_mask(points, size):
    """Pixels of which at least half the subsamples fall inside the polygon."""
    mask = [[False] * size for _ in range(size)]
    total = SUPERSAMPLE * SUPERSAMPLE
    for py in range(size):
        for px in range(size):
            hits = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    if polygon_contains(points, x, y):
                        hits += 1
            mask[py][px] = hits * 2 >= total
    return mask


def paint(image, mask, fill, outline=True, pattern=None):
    """Paints a shape: its border pixels black, the inside in its fill colour
    (or in the colour a pattern function picks for that pixel)."""
    size = len(image)
    for y in range(size):
        for x in range(size):
            if not mask[y][x]:
                continue
            border = any(
                not (0 <= x + dx < size and 0 <= y + dy < size and mask[y + dy][x + dx])
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if outline and border:
                image[y][x] = BLACK
            else:
                image[y][x] = pattern(x, y) if pattern else fill


def draw(size):
    image = [[TRANSPARENT] * size for _ in range(size)]

    # The broom lies on the diagonal: handle from the top right, bristles
    # fanning out towards the bottom left.
    top = (0.90, 0.05)
    binding = (0.44, 0.54)
    dx, dy = binding[0] - top[0], binding[1] - top[1]
    length = math.hypot(dx, dy)
    along = (dx / length, dy / length)
    across = (-along[1], along[0])

    def offset(point, a, c):
        return (point[0] + along[0] * a + across[0] * c, point[1] + along[1] * a + across[1] * c)

    # Dust swept out to the right of the bristles, behind everything else.
    for cx, cy, r in ((0.60, 0.89, 0.075), (0.78, 0.84, 0.06), (0.90, 0.93, 0.05)):
        paint(image, coverage_mask(circle(cx, cy, r), size), GRAY, outline=False)

    bristles = [offset(binding, 0.0, -0.12), offset(binding, 0.0, 0.12),
                offset(binding, 0.42, 0.25), offset(binding, 0.46, 0.0), offset(binding, 0.42, -0.25)]

    def straw(x, y):
        # Streaks along the broom: every other band across it is darker.
        u = ((x + 0.5) / size - binding[0]) * across[0] + ((y + 0.5) / size - binding[1]) * across[1]
        band = int(math.floor(u * size / (2.0 if size >= 32 else 1.5)))
        return OLIVE if band % 2 else YELLOW

    paint(image, coverage_mask(bristles, size), YELLOW, pattern=straw)
    # At 16 pixels the handle is too thin for an outline of its own.
    handle = thick_line(top, offset(binding, 0.02, 0.0), 0.06)
    paint(image, coverage_mask(handle, size), MAROON, outline=size >= 32)
    band = thick_line(offset(binding, -0.02, 0.0), offset(binding, 0.07, 0.0), 0.135)
    paint(image, coverage_mask(band, size), RED)
    return image


def dib(image):
    """The icon image as stored in .ico and RT_ICON: header, palette, colour
    bits and the transparency mask, both bottom-up."""
    size = len(image)
    xor_row = (size * 4 + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         (xor_row + and_row) * size, 0, 0, 0, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_bits = bytearray()
    and_bits = bytearray()
    for row in reversed(image):
        line = bytearray(xor_row)
        mask = bytearray(and_row)
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = 0
            line[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        xor_bits += line
        and_bits += mask
    return header + palette + bytes(xor_bits) + bytes(and_bits)


def ico(images):
    entries = b''
    data = b''
    offset = 6 + 16 * len(images)
    for image in images:
        size = len(image)
        blob = dib(image)
        entries += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset + len(data))
        data += blob
    return struct.pack('<HHH', 0, 1, len(images)) + entries + data


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, 'ui', 'sweepkit.ico')
    with open(output, 'wb') as f:
        f.write(ico([draw(32), draw(16)]))


if __name__ == '__main__':
    main()
