#!/usr/bin/env python3
"""Draws the application icon: a keyboard under a round blue badge with an
upward arrow. Writes a .ico with a 128 x 128 and a 32 x 32 image, each a
BMP DIB of 8 bits per pixel with a 256-entry palette and an AND mask.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (128, 32)   # in this order in the file
SAMPLES = 4         # supersampling per axis for the small image

# Palette: index -> (R, G, B). Index 0 stands behind transparent pixels.
PALETTE = [
    (0, 0, 0),
    (0x22, 0x26, 0x2C),  # 1 keyboard body
    (0x10, 0x12, 0x16),  # 2 body edge
    (0xE9, 0xEC, 0xF0),  # 3 key face
    (0x9A, 0xA3, 0xAD),  # 4 key shadow
    (0x2F, 0x7D, 0xE1),  # 5 badge
    (0xFF, 0xFF, 0xFF),  # 6 arrow
    (0x1B, 0x4F, 0x9C),  # 7 badge edge
]
TRANSPARENT = None


def in_round_rect(x, y, left, top, right, bottom, radius):
    if x < left or x >= right or y < top or y >= bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def keys():
    """Key rectangles (left, top, right, bottom) on the 128-unit canvas."""
    rects = []
    pitch, size = 12, 10
    for row in range(3):
        top = 55 + row * pitch
        offset = (0, 3, 6)[row]
        count = (8, 8, 7)[row]
        for col in range(count):
            left = 17 + offset + col * pitch
            rects.append((left, top, left + size, top + size - 1))
    top = 55 + 3 * pitch
    rects.append((17, top, 27, top + size - 1))
    rects.append((29, top, 99, top + size - 1))   # space bar
    rects.append((101, top, 111, top + size - 1))
    return rects


KEYS = keys()


def colour_at(x, y):
    """Palette index at a point of the 128-unit canvas, or TRANSPARENT."""
    # Badge with an upward arrow.
    bx, by, br = 64.0, 24.0, 20.0
    d2 = (x - bx) ** 2 + (y - by) ** 2
    if d2 <= br ** 2:
        if d2 > (br - 2.5) ** 2:
            return 7
        # arrow head: triangle from (64, 11) to (52..76, 25); shaft 59..69, 25..37
        if 11 <= y <= 25 and abs(x - 64) <= (y - 11) * 12.0 / 14.0:
            return 6
        if 25 <= y <= 37 and 59 <= x <= 69:
            return 6
        return 5
    # Keyboard body.
    if in_round_rect(x, y, 6, 46, 122, 110, 10):
        if not in_round_rect(x, y, 8, 48, 120, 108, 8):
            return 2
        for (left, top, right, bottom) in KEYS:
            if left <= x < right and top <= y < bottom:
                return 3 if y < bottom - 2 else 4
        return 1
    return TRANSPARENT


def render(size):
    """Rows top-down of palette indexes or TRANSPARENT."""
    scale = 128.0 / size
    samples = 1 if size >= 128 else SAMPLES
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            votes = {}
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    c = colour_at(x, y)
                    votes[c] = votes.get(c, 0) + 1
            best = max(votes.items(), key=lambda kv: (kv[1], kv[0] is not None))[0]
            row.append(best)
        rows.append(row)
    return rows


def dib(size):
    rows = render(size)
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    xor_stride = ((size + 3) // 4) * 4
    for row in reversed(rows):  # bottom-up
        line = bytearray(0 if c is None else c for c in row)
        line += bytes(xor_stride - len(line))
        xor += line
        bits = bytearray(mask_stride)
        for i, c in enumerate(row):
            if c is None:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    palette = bytearray()
    for i in range(256):
        r, g, b = PALETTE[i] if i < len(PALETTE) else (0, 0, 0)
        palette += bytes((b, g, r, 0))
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 256, 0)
    return header + palette + xor + mask


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = [dib(s) for s in SIZES]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
