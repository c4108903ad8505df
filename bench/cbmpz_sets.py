#!/usr/bin/env python3
"""Cuts the real-image set into the many-file sets of the cbmpz benchmarks.

    bench/cbmpz_sets.py REAL_DIR OUT_DIR

REAL_DIR holds the 24-bit BMP files of bench/real_images.sh; OUT_DIR (outside the repository)
gets small/ (1000 tiles of 110 x 110 pixels, about 36 KB each) and medium/ (300 tiles of 0.3 to
1 MiB). Each tile is a rectangle of one real picture, at a place and size drawn from a fixed
seed, so the sets are the same on every run. Only the standard library is needed.
"""
import os
import random
import struct
import sys


def read_bmp24(path):
    with open(path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24:
        return None
    stride = (width * 3 + 3) & ~3
    return width, abs(height), stride, data[offset:offset + stride * abs(height)]


def write_tile(path, image, x, y, w, h):
    width, height, stride, pixels = image
    out_stride = (w * 3 + 3) & ~3
    rows = []
    for row in range(y, y + h):
        start = row * stride + x * 3
        rows.append(pixels[start:start + w * 3] + b"\0" * (out_stride - w * 3))
    body = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(body), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + body)


def main():
    real, out = sys.argv[1], sys.argv[2]
    images = []
    for name in sorted(os.listdir(real)):
        if name.endswith(".bmp"):
            image = read_bmp24(os.path.join(real, name))
            if image is not None:
                images.append((name[:-4], image))
    rng = random.Random(20240)
    for subset, count, size in (("small", 1000, lambda: (110, 110)),
                                ("medium", 300, lambda: (rng.randint(330, 620),
                                                         rng.randint(320, 560)))):
        folder = os.path.join(out, subset)
        os.makedirs(folder, exist_ok=True)
        for i in range(count):
            name, image = images[i % len(images)]
            w, h = size()
            w, h = min(w, image[0]), min(h, image[1])
            x = rng.randrange(image[0] - w + 1)
            y = rng.randrange(image[1] - h + 1)
            write_tile(os.path.join(folder, "%s-%04d.bmp" % (name, i)), image, x, y, w, h)


if __name__ == "__main__":
    main()
