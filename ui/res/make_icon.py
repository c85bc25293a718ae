#!/usr/bin/env python3
"""Writes the program icon: a disk platter with a key across it, as nine images (48, 32 and 16
pixels, each in 16 colours, 256 colours and 24-bit colour), BMP-in-ICO, byte for byte the same on
every run.

  make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)
SAMPLES = 4  # per pixel and axis

TRANSPARENT = None
PLATTER = (52, 96, 164)
PLATTER_RIM = (24, 48, 96)
TRACK = (120, 160, 214)
HUB = (200, 204, 212)
KEY = (236, 184, 36)
KEY_EDGE = (150, 100, 10)


def colour_at(x, y):
    """The picture at (x, y), both in 0..1 from the top left; None where the icon is see-through."""
    def inside(cx, cy, r):
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    # The key: a ring-shaped bow, a shaft and two bits, drawn over the platter.
    bow = inside(0.34, 0.74, 0.17) and not inside(0.34, 0.74, 0.07)
    bow_edge = bow and not inside(0.34, 0.74, 0.14)
    shaft = 0.46 <= x <= 0.97 and 0.69 <= y <= 0.79
    bits = (0.78 <= x <= 0.85 or 0.89 <= x <= 0.96) and 0.79 <= y <= 0.92
    if bow_edge:
        return KEY_EDGE
    if bow or shaft or bits:
        return KEY
    # The platter with its rim, one track and the hub.
    if inside(0.46, 0.44, 0.43):
        if not inside(0.46, 0.44, 0.39):
            return PLATTER_RIM
        if inside(0.46, 0.44, 0.08):
            return HUB
        if inside(0.46, 0.44, 0.27) and not inside(0.46, 0.44, 0.24):
            return TRACK
        return PLATTER
    return TRANSPARENT


def render(size):
    """Rows of (colour or None), top row first, averaged over SAMPLES x SAMPLES points."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            opaque = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) / size,
                                  (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        opaque += 1
                        for i in range(3):
                            total[i] += c[i]
            if opaque * 2 < SAMPLES * SAMPLES:
                row.append(None)
            else:
                row.append(tuple((t + opaque // 2) // opaque for t in total))
        rows.append(row)
    return rows


def vga_palette():
    return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def cube_palette():
    """The 16 VGA colours, a 6x6x6 colour cube and a grey ramp: 256 entries."""
    levels = (0, 51, 102, 153, 204, 255)
    palette = vga_palette()
    palette += [(r, g, b) for r in levels for g in levels for b in levels]
    palette += [(8 + 10 * i, 8 + 10 * i, 8 + 10 * i) for i in range(256 - len(palette))]
    return palette


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: (sum((a - b) ** 2 for a, b in zip(palette[i], colour)), i))


def row_bytes(bits):
    return (bits + 31) // 32 * 4


def image(size, depth):
    """One BITMAPINFOHEADER image with its palette, colour bits and mask, bottom row first."""
    rows = render(size)
    palette = {4: vga_palette(), 8: cube_palette()}.get(depth, [])
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, 0, 0, 0,
                         len(palette), 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    cache = {}
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray()
        if depth == 24:
            for c in row:
                r, g, b = c if c is not None else (0, 0, 0)
                line += bytes((b, g, r))
        else:
            indices = []
            for c in row:
                if c is None:
                    indices.append(0)
                else:
                    if c not in cache:
                        cache[c] = nearest(palette, c)
                    indices.append(cache[c])
            if depth == 8:
                line += bytes(indices)
            else:
                for i in range(0, size, 2):
                    line.append((indices[i] << 4) | (indices[i + 1] if i + 1 < size else 0))
        line += bytes(row_bytes(size * depth) - len(line))
        xor += line
        bits = bytearray(row_bytes(size))
        for i, c in enumerate(row):
            if c is None:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + colours + bytes(xor) + bytes(mask)


def icon():
    images = [(size, depth, image(size, depth)) for size in SIZES for depth in DEPTHS]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        colour_count = {4: 16, 8: 0}.get(depth, 0)
        out += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, depth, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
