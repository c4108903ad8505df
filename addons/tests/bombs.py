#!/usr/bin/env python3
"""Decompression bombs for the viewer add-ons, and a check that a loader survives them.

  bombs.py make DIR
      writes DIR/huge-pixels.cbmp, a valid 12.5 MB CBMP file of an 18,918 x 18,918 24-bit bitmap
      (1 GB of pixels: every stream byte after the first decodes to 86 bytes), and
      DIR/padded-1g.cbmp, a valid 64 x 64 CBMP file followed by zeros up to 1 GiB (a sparse file).
  bombs.py check DIR LIMIT_MIB -- COMMAND... (with {input} and {output} in its arguments)
      runs COMMAND on each bomb and fails when its peak resident size exceeds LIMIT_MIB while it
      reads a file; a refusal (non-zero exit) is fine, a crash by a signal is not. Prints the peak
      size and the time of each run.
"""
import os
import struct
import subprocess
import sys
import time

WIDTH = HEIGHT = 18918
BITS = 24
MATCH = 258


class Bits:
    """LSB-first bit packing, as the stream format has it."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.count = 0

    def put(self, value, width):
        self.acc |= value << self.count
        self.count += width
        while self.count >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.count -= 8

    def finish(self):
        if self.count:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def match_token(distance, length):
    return 1 | (distance - 1) << 1 | (length - 3) << 16


def zero_stream(size):
    """A stream of `size` zero bytes: two literals, then matches of 258 at distance 2."""
    bits = Bits()
    bits.put(size, 32)
    bits.put(0, 9)
    bits.put(0, 9)
    left = size - 2
    full = left // MATCH
    token = match_token(2, MATCH)
    if full:
        bits.put(token, 24)
        full -= 1
        left -= MATCH
        if full:
            # The bit position modulo 8 is the same before and after each 24-bit token, so every
            # further token adds the same three bytes.
            before = (bits.acc, bits.count)
            bits.put(token, 24)
            pattern = bytes(bits.out[-3:])
            assert (bits.acc, bits.count) == before
            bits.out += pattern * (full - 1)
            left -= MATCH * full
    if left >= 3:
        bits.put(match_token(2, left), 24)
    else:
        for _ in range(left):
            bits.put(0, 9)
    bits.put(1, 17)
    return bits.finish()


def black_image(width, height):
    """A valid CBMP file of a black 24-bit bitmap."""
    stride = (width * BITS + 31) // 32 * 4
    size = stride * height
    stream = zero_stream(size)
    header = b"CBMP" + struct.pack("<IIiiHHIIiiII", 1, 40, width, height, 1, BITS, 0, size,
                                   2835, 2835, 0, 0)
    header += struct.pack("<III", len(stream), size, 0)
    assert len(header) == 60
    return header + stream


def make(folder):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "huge-pixels.cbmp"), "wb") as f:
        f.write(black_image(WIDTH, HEIGHT))
    with open(os.path.join(folder, "padded-1g.cbmp"), "wb") as f:
        f.write(black_image(64, 64))
        f.truncate(1 << 30)


def check(folder, limit_mib, command):
    failures = 0
    for name in ("huge-pixels.cbmp", "padded-1g.cbmp"):
        source = os.path.join(folder, name)
        output = os.path.join(folder, name + ".out")
        args = [a.replace("{input}", source).replace("{output}", output) for a in command]
        start = time.monotonic()
        process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.monotonic() - start
        stderr = process.stderr.read().decode(errors="replace").strip().splitlines()
        process.stderr.close()
        peak_mib = usage.ru_maxrss / 1024
        outcome = "refused" if os.waitstatus_to_exitcode(status) != 0 else "read"
        print(f"{name}: {outcome}, peak {peak_mib:.1f} MiB, {seconds:.2f} s"
              + (f" ({stderr[-1]})" if stderr and outcome == "refused" else ""))
        if os.WIFSIGNALED(status):
            print(f"FAIL: {name}: killed by signal {os.WTERMSIG(status)}")
            failures += 1
        elif peak_mib > limit_mib:
            print(f"FAIL: {name}: peak {peak_mib:.1f} MiB over the limit of {limit_mib} MiB")
            failures += 1
    return failures


def main(argv):
    if len(argv) == 3 and argv[1] == "make":
        make(argv[2])
        return 0
    if len(argv) > 5 and argv[1] == "check" and argv[4] == "--":
        return 1 if check(argv[2], float(argv[3]), argv[5:]) else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
