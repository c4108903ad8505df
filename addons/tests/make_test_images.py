"""Writes BMP files of every bit depth that the add-ons' tests open.

Usage: make_test_images.py <folder>   (or images(): {name: bytes})

Odd widths (rows carry padding), flat bands on the left (matches) and noise on the right
(literals), and a true bfSize, so that compression gives each file back byte for byte.
"""
import os
import struct
import sys


def _values(width, height, levels, seed):
    state = seed
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            row.append((y // 3) % levels if x < width // 2 else (state >> 16) % levels)
        rows.append(row)
    return rows


def _file(width, height, bits, compression, extra, pixels, header=b""):
    info = struct.pack("<IiiHHIIiiII", 40 + len(header), width, height, 1, bits, compression,
                       len(pixels), 2835, 2835, 0, 0) + header
    offset = 14 + len(info) + len(extra)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info + extra + pixels


def _palette(count):
    return b"".join(bytes((i * 37 & 255, i * 91 & 255, i * 13 & 255, 0)) for i in range(count))


def _pad(row):
    return bytes(row) + bytes(-len(row) % 4)


def paletted(width, height, bits, seed):
    rows = []
    for values in _values(width, height, 1 << bits, seed):
        row = bytearray((width * bits + 7) // 8)
        for x, value in enumerate(values):
            row[x * bits // 8] |= value << (8 - bits - x * bits % 8)
        rows.append(_pad(row))
    return _file(width, height, bits, 0, _palette(1 << bits), b"".join(rows))


def direct(width, height, bits, seed):
    size = bits // 8
    rows = [_pad(b"".join((v * 0x01030507 & 0xFFFFFFFF).to_bytes(4, "little")[:size]
                          for v in values))
            for values in _values(width, height, 1 << min(bits, 15), seed)]
    return _file(width, height, bits, 0, b"", b"".join(rows))


def rle8(width, height, seed):
    pixels = bytearray()
    for values in _values(width, height, 256, seed):
        x = 0
        while x < width:
            run = 1
            while x + run < width and run < 255 and values[x + run] == values[x]:
                run += 1
            pixels += bytes((run, values[x]))
            x += run
        pixels += b"\x00\x00"
    pixels[-2:] = b"\x00\x01"  # the last end of line becomes the end of the bitmap
    return _file(width, height, 8, 1, _palette(256), bytes(pixels))


def v5_alpha(width, height, seed):
    """32 bits with red, green, blue and alpha masks in a V5 info header; every alpha value."""
    pixels = b"".join(struct.pack("<I", (v * 0x010305 & 0xFFFFFF) | (v & 255) << 24)
                      for values in _values(width, height, 1 << 16, seed) for v in values)
    header = struct.pack("<4I4s", 0xFF0000, 0xFF00, 0xFF, 0xFF000000, b"BGRs") + bytes(48)
    header += struct.pack("<4I", 4, 0, 0, 0)
    return _file(width, height, 32, 3, b"", pixels, header)


def images():
    return {
        "pal1.bmp": paletted(13, 7, 1, 1),
        "pal4.bmp": paletted(27, 6, 4, 2),
        "pal8.bmp": paletted(37, 23, 8, 3),
        "rgb16.bmp": direct(21, 9, 16, 4),
        "rgb24.bmp": direct(31, 17, 24, 5),
        "rgb32.bmp": direct(25, 13, 32, 6),
        "rle8.bmp": rle8(41, 19, 7),
        "v5-alpha.bmp": v5_alpha(27, 15, 8),
        "rgb24-large.bmp": direct(301, 219, 24, 9),  # beyond the 32 KiB window
    }


if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in images().items():
        with open(os.path.join(sys.argv[1], name), "wb") as out:
            out.write(data)
