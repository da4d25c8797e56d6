#!/usr/bin/env python3
"""Writes dravlin.ico: one 32 x 32 image in 16 colours (4 bits per pixel), a shield with a tick.

Run it again only to change the picture; the .ico it writes is kept in the repository so that
the build needs no Python.
"""
import struct
import sys

# The 16-colour VGA palette (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
OUTLINE, FILL, LIGHT, TICK, TICK_EDGE = 4, 12, 14, 10, 2
SIZE = 32


def shield_half_width(y):
    """Half the shield's width on row y (0 = top), or 0 outside it."""
    if y < 2 or y > 29:
        return 0
    if y < 16:
        return 13
    # The lower half narrows to a point.
    return max(0, 13 - (y - 15) * 13 // 14)


def picture():
    pixels = [[None] * SIZE for _ in range(SIZE)]  # None: transparent
    for y in range(SIZE):
        half = shield_half_width(y)
        if not half:
            continue
        for x in range(16 - half, 16 + half):
            below = shield_half_width(y + 1)
            edge = (x in (16 - half, 16 + half - 1) or y in (2, 29) or x < 16 - below or
                    x >= 16 + below)
            if edge:
                pixels[y][x] = OUTLINE
            elif x < 16:
                pixels[y][x] = FILL
            else:
                pixels[y][x] = LIGHT if y < 16 else FILL
    # A tick from lower left to the middle bottom, then up to the right.
    tick = [(x, 15 + (x - 8)) for x in range(8, 14)] + [(x, 20 - (x - 13)) for x in range(13, 24)]
    for x, y in tick:
        for dy in (-1, 0, 1):
            pixels[y + dy][x] = TICK if dy != 1 else TICK_EDGE
    return pixels


def ico_bytes(pixels):
    colour_rows = []
    mask_rows = []
    for row in reversed(pixels):  # the bitmap runs bottom-up
        nibbles = [0 if p is None else p for p in row]
        colour_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        bits = 0
        for x, p in enumerate(row):
            if p is None:
                bits |= 1 << (SIZE - 1 - x)
        mask_rows.append(struct.pack(">I", bits))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         SIZE * SIZE // 2 + SIZE * SIZE // 8, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + b"".join(colour_rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "dravlin.ico"
    with open(out, "wb") as f:
        f.write(ico_bytes(picture()))
