"""Writes the two files every plug-in's bomb test opens.

Usage: make_bombs.py <small.cbmp> <folder>

- padded.cbmp: a valid small CBMP file followed by zeros up to 1 GiB (a sparse file): a plug-in
  that reads past the header's compressed size keeps a gigabyte.
- wide.cbmp: an 18,918 x 18,918 24-bit image (1,073,710,008 bytes of pixels) in a 12.5 MB
  stream of the longest matches: a plug-in that decodes before it checks the size takes a
  gigabyte for the bitmap, and more for its own pixels.
"""
import os
import struct
import sys

PADDED_SIZE = 1 << 30
WIDE = 18918


def wide_cbmp(width=WIDE, height=WIDE):
    row = (width * 3 + 3) // 4 * 4
    payload = row * height
    # Eight literal zeros (72 bits, so the matches start on a byte boundary), then matches of
    # distance 2 and length 258 (3 bytes each: flag 1, distance - 1 = 1, length - 3 = 255), the
    # last one shorter, then the end marker (flag 1 and 16 zero bits, padded to 3 bytes).
    rest = payload - 8
    full, tail = divmod(rest, 258)
    if 0 < tail < 3:  # a match is at least 3 bytes long: split the last full one
        full -= 1
        tail += 258
    lengths = [tail] if tail <= 258 else [tail - 128, 128]
    stream = bytearray(struct.pack("<I", payload))
    stream += (0).to_bytes(9, "little")  # 8 literals of 9 zero bits
    stream += b"\x03\x00\xff" * full
    for length in (n for n in lengths if n):
        stream += (1 | 1 << 1 | (length - 3) << 16).to_bytes(3, "little")
    stream += b"\x01\x00\x00"
    header = struct.pack("<4sIIiiHHIIiiIIIII", b"CBMP", 1, 40, width, height, 1, 24, 0, payload,
                         2835, 2835, 0, 0, len(stream), payload, 0)
    return header + bytes(stream)



def write(small_path, folder):
    os.makedirs(folder, exist_ok=True)
    with open(small_path, "rb") as f:
        small = f.read()
    padded = os.path.join(folder, "padded.cbmp")
    with open(padded, "wb") as out:
        out.write(small)
        out.truncate(PADDED_SIZE)
    with open(os.path.join(folder, "wide.cbmp"), "wb") as out:
        out.write(wide_cbmp())


if __name__ == "__main__":
    write(sys.argv[1], sys.argv[2])
