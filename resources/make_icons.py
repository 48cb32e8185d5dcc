#!/usr/bin/env python3
"""Draws the release tool's icons: a blue disc with a white ring and tail, the letter Q.

usage: make_icons.py OUTPUT_DIR
Writes quorvane_large.ico (one 64x64 image, 32 bits per pixel) and quorvane_small.ico (two 32x32
images, 4 and 8 bits per pixel). Classic DIB images rather than PNG ones, so every Windows version
and resource compiler reads them; pure arithmetic, so every build writes the same bytes.
"""

import math
import struct
import sys
from pathlib import Path

BACKGROUND = (0x1E, 0x6F, 0xE0)
LETTER = (0xFF, 0xFF, 0xFF)

# The 16 colours of the standard VGA palette, which 4-bit icons are drawn with.
VGA_PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
               (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
               (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def coverage(size, x, y):
    """How the pixel at (x, y) is painted: None outside the disc, else a 0..1 share of the letter
    over the background (sampled 4x4 for smooth edges)."""
    centre = size / 2.0
    inside, letter = 0, 0
    for sub_y in range(4):
        for sub_x in range(4):
            px = (x + (sub_x + 0.5) / 4 - centre) / centre  # -1..1
            py = (y + (sub_y + 0.5) / 4 - centre) / centre
            radius = math.hypot(px, py)
            if radius > 0.97:
                continue
            inside += 1
            ring = 0.38 <= radius <= 0.62
            tail = abs(px - py) < 0.13 and 0.25 < px < 0.72 and 0.25 < py < 0.72
            letter += ring or tail
    if inside == 0:
        return None
    return inside / 16.0, letter / 16.0


def colour_at(size, x, y):
    """(r, g, b, alpha) of a pixel; alpha 0 outside the disc."""
    painted = coverage(size, x, y)
    if painted is None:
        return 0, 0, 0, 0
    alpha, share = painted
    rgb = tuple(round(b + (l - b) * share) for b, l in zip(BACKGROUND, LETTER))
    return (*rgb, round(255 * alpha))


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((p - c) ** 2 for p, c in zip(palette[i], rgb)))


def dib_header(size, bits, colours):
    # An icon's DIB is twice as high: the colour image, then the 1-bit transparency mask.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)


def and_mask(size, pixels):
    """1 bit per pixel, set where the pixel is transparent; rows bottom-up, padded to 32 bits."""
    stride = (size + 31) // 32 * 4
    rows = []
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if pixels[y][x][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    return b"".join(rows)


def image_32(size):
    pixels = [[colour_at(size, x, y) for x in range(size)] for y in range(size)]
    colour = b"".join(bytes((b, g, r, a)) for y in reversed(range(size)) for (r, g, b, a) in pixels[y])
    return dib_header(size, 32, 0) + colour + and_mask(size, pixels)


def image_indexed(size, bits, palette):
    pixels = [[colour_at(size, x, y) for x in range(size)] for y in range(size)]
    stride = (size * bits + 31) // 32 * 4
    rows = []
    for y in reversed(range(size)):
        indices = [nearest(palette, pixel[:3]) if pixel[3] >= 128 else 0 for pixel in pixels[y]]
        row = bytearray(stride)
        for x, index in enumerate(indices):
            if bits == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        rows.append(bytes(row))
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    return dib_header(size, bits, len(palette)) + table + b"".join(rows) + and_mask(size, pixels)


def palette_256():
    """The background-to-letter ramp first (what the icon uses), then a 6x6x6 colour cube."""
    ramp = [tuple(round(b + (l - b) * i / 39) for b, l in zip(BACKGROUND, LETTER)) for i in range(40)]
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    return ramp + cube


def icon_file(images):
    """images: (size, bits, colour count, DIB bytes) -> the bytes of an .ico file."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory, data = b"", b""
    for size, bits, colours, dib in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours % 256, 0, 1, bits, len(dib),
                                 offset + len(data))
        data += dib
    return header + directory + data


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_icons.py OUTPUT_DIR")
    output = Path(argv[1])
    output.mkdir(parents=True, exist_ok=True)
    (output / "quorvane_large.ico").write_bytes(icon_file([(64, 32, 0, image_32(64))]))
    (output / "quorvane_small.ico").write_bytes(icon_file([
        (32, 4, 16, image_indexed(32, 4, VGA_PALETTE)),
        (32, 8, 0, image_indexed(32, 8, palette_256())),
    ]))


if __name__ == "__main__":
    main(sys.argv)
