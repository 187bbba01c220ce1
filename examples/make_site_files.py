#!/usr/bin/env python3
"""Writes the sample site's binary files: a PNG, a GIF and a one-page PDF.

Pure standard library, so the files can be made again anywhere: python3 make_site_files.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = os.path.join(HERE, "site")


def png(width, height, pixel):
    """An 8-bit RGB PNG; pixel(x, y) gives an (r, g, b) tuple."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def gif(width, height, palette, index):
    """A GIF with a 4-colour palette; index(x, y) gives the colour number.

    The LZW stream sends a clear code before the code table would grow, so every code keeps
    the same width: simple and valid, if not small.
    """
    min_code = 2
    clear, end = 1 << min_code, (1 << min_code) + 1
    width_bits = min_code + 1
    codes = []
    pixels = [index(x, y) for y in range(height) for x in range(width)]
    run = (1 << width_bits) - end - 1
    for i, p in enumerate(pixels):
        if i % run == 0:
            codes.append(clear)
        codes.append(p)
    codes.append(end)
    bits, nbits, data = 0, 0, bytearray()
    for c in codes:
        bits |= c << nbits
        nbits += width_bits
        while nbits >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        data.append(bits & 0xFF)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + bytes(data[i:i + 255])
                      for i in range(0, len(data), 255))
    table = b"".join(bytes(c) for c in palette)
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0x81, 0, 0) + table +
            b"," + struct.pack("<HHHHB", 0, 0, width, height, 0) +
            bytes([min_code]) + blocks + b"\x00;")


def pdf(text):
    """A one-page PDF showing one line of text."""
    stream = ("BT /F1 24 Tf 72 720 Td (%s) Tj ET" % text).encode("latin-1")
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
        b"/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream",
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, xref)
    return bytes(out)


def write(relative, data):
    path = os.path.join(SITE, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    # A solid magenta block: a colour no page uses, so a screenshot can find the picture.
    write("images/swatch.png", png(64, 64, lambda x, y: (0xE0, 0x21, 0x8A)))
    palette = [(0x2E, 0xB8, 0x4C), (0xF5, 0xD0, 0x2C), (0, 0, 0), (0xFF, 0xFF, 0xFF)]
    write("images/stripes.gif", gif(48, 32, palette, lambda x, y: (y // 8) % 2))
    write("docs/manual.pdf", pdf("Kivabook Sample manual"))


if __name__ == "__main__":
    main()
