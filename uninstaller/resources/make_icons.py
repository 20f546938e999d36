#!/usr/bin/env python3
"""Draws the uninstaller's icons (a magnetic card with its stripe) and writes them as .ico files.

Each icon file holds a 16x16 and a 32x32 image, 32 bits per pixel with alpha, stored as the
bottom-up DIBs (colour bitmap followed by the 1-bit AND mask) that icon resources carry.
Run it from this directory; the .ico files it writes are committed.
"""
import struct

# (file name, card colour, stripe colour, mark colour) as (r, g, b)
ICONS = [
    ("program.ico", (0x2a, 0x6f, 0xb8), (0x20, 0x20, 0x20), (0xf0, 0xc0, 0x30)),
    ("device.ico", (0x3c, 0x9a, 0x5a), (0x20, 0x20, 0x20), (0xff, 0xff, 0xff)),
    ("dialog.ico", (0xc8, 0x3c, 0x3c), (0x20, 0x20, 0x20), (0xff, 0xff, 0xff)),
    ("card.ico", (0x80, 0x80, 0x90), (0x20, 0x20, 0x20), (0x2a, 0x6f, 0xb8)),
]


def draw(size, card, stripe, mark):
    """Returns rows top to bottom of (r, g, b, a) pixels."""
    s = size / 16.0
    left, right = round(1 * s), round(15 * s)
    top, bottom = round(3 * s), round(13 * s)
    stripe_top, stripe_bottom = round(5 * s), round(7 * s)
    mark_left, mark_right = round(3 * s), round(7 * s)
    mark_top, mark_bottom = round(9 * s), round(11 * s)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            inside = left <= x < right and top <= y < bottom
            corner = (x in (left, right - 1)) and (y in (top, bottom - 1))
            if not inside or corner:
                row.append((0, 0, 0, 0))
            elif stripe_top <= y < stripe_bottom:
                row.append(stripe + (255,))
            elif mark_left <= x < mark_right and mark_top <= y < mark_bottom:
                row.append(mark + (255,))
            else:
                row.append(card + (255,))
        rows.append(row)
    return rows


def dib(size, rows):
    """BITMAPINFOHEADER (height doubled for the mask), BGRA pixels bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def write_icon(name, card, stripe, mark):
    images = [(size, dib(size, draw(size, card, stripe, mark))) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(name, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    for icon in ICONS:
        write_icon(*icon)
