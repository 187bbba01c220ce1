#!/usr/bin/env python3
"""Writes logo.ico: the sample's logo at 16, 32 and 48 pixels.

Each size is a 32-bit bitmap with an alpha channel and the classic AND mask, the form every
icon reader understands. Pure standard library: python3 make_logo.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (16, 32, 48)
BACKGROUND = (0x2A, 0x7A, 0xB0)  # the sample's page colour
LETTER = (0xFF, 0xD2, 0x3F)      # the sample's heading colour


def pixel(x, y, size):
    """RGBA of the logo at (x, y), y counted from the top: a rounded square with a K."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    # Rounded corners: outside the corner circles the icon is transparent.
    r = 0.2
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    stroke = 0.13
    stem = 0.28 <= u <= 0.28 + stroke and 0.2 <= v <= 0.8
    # The two arms of the K meet the stem at mid-height.
    arm = abs(abs(v - 0.5) - (u - 0.28 - stroke) * 0.95) < stroke * 0.6 and 0.41 <= u <= 0.76
    arm = arm and 0.2 <= v <= 0.8
    return LETTER + (255,) if stem or arm else BACKGROUND + (255,)


def image(size):
    """BITMAPINFOHEADER, bottom-up BGRA rows and the 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        line = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            rows += bytes((b, g, r, a))
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(rows) + bytes(mask)


def main():
    images = [image(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(os.path.join(HERE, "logo.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
