"""Writes BMP files of every bit depth and layout that the add-ons' tests open.

Usage: make_test_images.py <folder>   (also importable: images() gives {name: bytes})

Each image has odd dimensions (so rows carry padding), a pseudo-random part (literals) and
repeated areas (matches), and a true bfSize, so that compression gives it back byte for byte.
"""
import os
import struct
import sys

BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS = 0, 1, 2, 3


def _noise(seed):
    state = seed & 0xFFFFFFFF
    while True:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        yield state >> 16


def _row_bytes(width, bits):
    return (width * bits + 31) // 32 * 4


def _file(info_header, extra, pixels):
    """A BMP file: file header, info header, then colour table or masks, then pixels."""
    offset = 14 + len(info_header) + len(extra)
    size = offset + len(pixels)
    return struct.pack("<2sIHHI", b"BM", size, 0, 0, offset) + info_header + extra + pixels


def _info(width, height, bits, compression=BI_RGB, image_size=0, colors_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, image_size, 2835,
                       2835, colors_used, 0)


def _palette(count, seed):
    rnd = _noise(seed)
    return b"".join(bytes((next(rnd) & 255, next(rnd) & 255, next(rnd) & 255, 0))
                    for _ in range(count))


def _index(x, y, rnd, colors):
    """A colour index: flat bands on the left half, noise on the right."""
    if x < 20:
        return (y // 3) % colors
    return next(rnd) % colors


def _packed(width, height, bits, seed):
    rnd = _noise(seed)
    colors = 1 << bits
    per_byte = 8 // bits
    rows = []
    for y in range(height):
        row = bytearray(_row_bytes(width, bits))
        for x in range(width):
            value = _index(x, y, rnd, colors)
            shift = 8 - bits * (x % per_byte + 1)
            row[x // per_byte] |= value << shift
        rows.append(bytes(row))
    return b"".join(rows)


def paletted(width, height, bits, seed, colors_used=0):
    entries = colors_used or (1 << bits)
    pixels = _packed(width, height, bits, seed)
    return _file(_info(width, height, bits, BI_RGB, len(pixels), colors_used),
                 _palette(entries, seed), pixels)


def _rgb_pixels(width, height, bytes_per_pixel, seed, top_down=False):
    rnd = _noise(seed)
    pad = _row_bytes(width, 8 * bytes_per_pixel) - width * bytes_per_pixel
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            if x < width // 2:
                value = ((x * 7) & 255, (y * 5) & 255, ((x + y) * 3) & 255, 255)
            else:
                value = tuple(next(rnd) & 255 for _ in range(4))
            row += bytes(value[:bytes_per_pixel])
        rows.append(bytes(row) + bytes(pad))
    if top_down:
        rows.reverse()
    return b"".join(rows)


def rgb(width, height, bits, seed, top_down=False):
    pixels = _rgb_pixels(width, height, bits // 8, seed)
    return _file(_info(width, -height if top_down else height, bits, BI_RGB, len(pixels)), b"",
                 pixels)


def rgb16(width, height, seed, masks=None):
    """16 bits: 5-5-5 without masks, or the given (red, green, blue) bit fields."""
    rnd = _noise(seed)
    pad = _row_bytes(width, 16) - 2 * width
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            value = ((x * 37 + y * 11) & 0x7FFF) if x < width // 2 else next(rnd) & 0xFFFF
            pixels += struct.pack("<H", value if masks else value & 0x7FFF)
        pixels += bytes(pad)
    if masks is None:
        return _file(_info(width, height, 16, BI_RGB, len(pixels)), b"", bytes(pixels))
    return _file(_info(width, height, 16, BI_BITFIELDS, len(pixels)), struct.pack("<3I", *masks),
                 bytes(pixels))


def _rle8_row(indexes):
    out = bytearray()
    i = 0
    while i < len(indexes):
        run = 1
        while i + run < len(indexes) and run < 255 and indexes[i + run] == indexes[i]:
            run += 1
        if run >= 2:
            out += bytes((run, indexes[i]))
            i += run
            continue
        end = i
        while end < len(indexes) and end - i < 255 and (
                end + 1 >= len(indexes) or indexes[end + 1] != indexes[end]):
            end += 1
        literal = indexes[i:end]
        if len(literal) >= 3:
            out += bytes((0, len(literal))) + bytes(literal) + bytes(len(literal) % 2)
        else:
            for value in literal:
                out += bytes((1, value))
        i = end
    return bytes(out) + b"\x00\x00"


def rle8(width, height, seed):
    rnd = _noise(seed)
    pixels = bytearray()
    for y in range(height):
        pixels += _rle8_row([_index(x, y, rnd, 256) for x in range(width)])
    pixels[-2:] = b"\x00\x01"  # the last end of line becomes the end of the bitmap
    return _file(_info(width, height, 8, BI_RLE8, len(pixels)), _palette(256, seed), bytes(pixels))


def rle4(width, height, seed):
    """Encoded runs only: each run paints two alternating colours."""
    rnd = _noise(seed)
    pixels = bytearray()
    for y in range(height):
        x = 0
        while x < width:
            run = min(width - x, 1 + next(rnd) % 9)
            pixels += bytes((run, ((y % 16) << 4) | (next(rnd) % 16)))
            x += run
        pixels += b"\x00\x00"
    pixels += b"\x00\x01"
    return _file(_info(width, height, 4, BI_RLE4, len(pixels)), _palette(16, seed), bytes(pixels))


def v5_alpha(width, height, seed):
    """32 bits with an alpha channel: a V5 info header with red, green, blue and alpha masks."""
    pixels = bytearray(_rgb_pixels(width, height, 4, seed))
    for i in range(3, len(pixels), 4):
        pixels[i] = (i // 4 * 17) & 255  # every alpha value, 0 and 255 among them
    header = struct.pack("<IiiHHIIiiII", 124, width, height, 1, 32, BI_BITFIELDS, len(pixels),
                         2835, 2835, 0, 0)
    header += struct.pack("<4I", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    header += b"BGRs" + bytes(36) + bytes(12) + struct.pack("<4I", 4, 0, 0, 0)
    assert len(header) == 124
    return _file(header, b"", bytes(pixels))


def images():
    """Every test image by file name, smallest first."""
    return {
        "pal1.bmp": paletted(13, 7, 1, 1),
        "pal4.bmp": paletted(27, 6, 4, 2),
        "pal8.bmp": paletted(37, 23, 8, 3),
        "pal8-used20.bmp": paletted(29, 9, 8, 4, colors_used=20),
        "rgb16.bmp": rgb16(21, 9, 5),
        "rgb16-565.bmp": rgb16(23, 8, 6, masks=(0xF800, 0x07E0, 0x001F)),
        "rgb24.bmp": rgb(31, 17, 24, 7),
        "rgb24-topdown.bmp": rgb(30, 11, 24, 8, top_down=True),
        "rgb32.bmp": rgb(25, 13, 32, 9),
        "rle8.bmp": rle8(41, 19, 10),
        "rle4.bmp": rle4(33, 12, 11),
        "v5-alpha.bmp": v5_alpha(27, 15, 12),
        # Larger than the 32 KiB window and the 64 KiB progress step.
        "rgb24-large.bmp": rgb(301, 219, 24, 13),
    }


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_test_images.py <folder>\n")
        return 2
    os.makedirs(argv[1], exist_ok=True)
    for name, data in images().items():
        with open(os.path.join(argv[1], name), "wb") as out:
            out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
