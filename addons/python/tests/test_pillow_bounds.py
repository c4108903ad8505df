"""The Pillow plugin on hostile files: Pillow's pixel limit from the header, for every info-header
kind, before anything is decoded; bounded reads; the errors a plain bitmap gives; a fuzz loop and
bombs, with their peak memory and time."""
import io
import os
import random
import struct
import subprocess
import sys
import textwrap
import warnings

import pytest
from PIL import Image, UnidentifiedImageError

import cbmp
from cbmp import _pillow
from conftest import BITMAPS

INFO_KINDS = [12, 40, 64, 108, 124]


def bitmap(header_size, width, height, bits=24, compression=0, pixels=None):
    """A BMP file with an info header of `header_size` bytes (12: OS/2 1.x) and no colour table
    (bits 24) or a grey one (bits 8)."""
    if header_size == 12:
        info = struct.pack("<IHHHH", 12, width & 0xFFFF, height & 0xFFFF, 1, bits)
        entry = 3
    else:
        info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bits, compression, 0,
                           2835, 2835, 0, 0).ljust(header_size, b"\0")
        entry = 4
    table = b"".join(bytes((i, i, i, 0))[:entry] for i in range(256)) if bits == 8 else b""
    # Pixels from offset 54 on at least: what lies before (the info header, a table, a gap)
    # travels as one block, whatever the header kind.
    table += bytes(max(0, 40 - len(info) - len(table)))
    stride = ((abs(width) * bits + 31) >> 3) & ~3
    if pixels is None:
        pixels = bytes(range(256)) * (stride * abs(height) // 256 + 1)
        pixels = pixels[:stride * abs(height)]
    offset = 14 + len(info) + len(table)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info + table + pixels


def outcome(open_image):
    """What opening and loading gives: ("ok", size, mode, pixels) or the exception's type, with
    the warnings' categories."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with open_image() as image:
                image.load()
                result = ("ok", image.size, image.mode, image.tobytes())
        except Exception as error:  # compared below, type for type
            result = (type(error),)
    return result, [w.category for w in caught if issubclass(w.category, Image.DecompressionBombWarning)]


@pytest.mark.parametrize("header_size", INFO_KINDS)
def test_dimensions_as_pillow_computes_them(header_size):
    sizes = [(5, 3), (1, 1), (7, 2)]
    if header_size != 12:
        sizes += [(5, -3), (3, -1)]  # top-down
    for width, height in sizes:
        bmp = bitmap(header_size, width, height)
        with Image.open(io.BytesIO(bmp)) as image:
            expected = image.size
        head = cbmp.compress(bmp)[:60]
        assert _pillow.bitmap_geometry(head)[:2] == expected
    # Values Pillow reads its own way: unsigned 16-bit OS/2 fields, an unsigned 32-bit width, and
    # a height negated only when its top byte is 0xFF.
    head = bytearray(cbmp.compress(bitmap(header_size, 2, 2))[:60])
    if header_size == 12:
        head[12:16] = struct.pack("<HH", 40000, 50000)
        assert _pillow.bitmap_geometry(bytes(head))[:2] == (40000, 50000)
    else:
        head[12:20] = struct.pack("<ii", -2, -(1 << 25))
        assert _pillow.bitmap_geometry(bytes(head))[:2] == (2**32 - 2, 2**32 - (1 << 25))
        head[16:20] = struct.pack("<I", 0x80000000)
        assert _pillow.bitmap_geometry(bytes(head))[1] == 0x80000000


@pytest.mark.parametrize("header_size", INFO_KINDS)
def test_pillow_pixel_limit_exactly(header_size, tmp_path, monkeypatch):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    decoded = []
    real_decode = cbmp._core._decode
    monkeypatch.setattr(cbmp._core, "_decode", lambda data: decoded.append(1) or real_decode(data))
    for (width, height), expected_warnings in [((25, 40), 0), ((25, 41), 1), ((40, 50), 1),
                                               ((41, 50), None)]:
        bmp = bitmap(header_size, width, height)
        path = tmp_path / "x.cbmp"
        path.write_bytes(cbmp.compress(bmp))
        decoded.clear()
        plain, plain_warnings = outcome(lambda: Image.open(io.BytesIO(bmp)))
        ours, our_warnings = outcome(lambda: Image.open(path))
        assert ours == plain
        assert our_warnings == plain_warnings
        if expected_warnings is None:  # above twice the limit: refused, nothing decoded
            assert ours == (Image.DecompressionBombError,) and decoded == []
        else:
            assert ours[0] == "ok" and len(our_warnings) == expected_warnings


@pytest.mark.parametrize("change", [
    "width 0", "height 0", "header 20", "depth 7", "compression 9", "bitfields 40",
])
def test_inner_bitmap_refused_as_pillow_refuses_the_plain_one(change, tmp_path):
    bmp = bytearray(bitmap(40, 6, 4))
    field, value = change.split()
    offset, fmt = {"width": (18, "<i"), "height": (22, "<i"), "header": (14, "<I"),
                   "depth": (28, "<H"), "compression": (30, "<I"), "bitfields": (30, "<I")}[field]
    struct.pack_into(fmt, bmp, offset, 3 if field == "bitfields" else int(value))
    bmp = bytes(bmp)
    (tmp_path / "x.bmp").write_bytes(bmp)
    (tmp_path / "x.cbmp").write_bytes(cbmp.compress(bmp))
    open_files = len(os.listdir("/proc/self/fd"))
    plain, _ = outcome(lambda: Image.open(tmp_path / "x.bmp"))
    ours, _ = outcome(lambda: Image.open(tmp_path / "x.cbmp"))
    assert plain[0] != "ok"
    assert ours == plain
    assert len(os.listdir("/proc/self/fd")) == open_files
    if change in ("width 0", "height 0"):
        assert ours == (UnidentifiedImageError,)


def test_a_payload_larger_than_its_image_needs_is_not_decoded(monkeypatch):
    # 4 x 4 pixels claiming 64 MiB of pixels (a stream of long matches): refused from the header.
    stream = _zero_stream(64 << 20)
    head = bytearray(cbmp.compress(bitmap(40, 4, 4))[:60])
    struct.pack_into("<III", head, 48, len(stream), 64 << 20, 0)
    monkeypatch.setattr(cbmp._core, "_decode", lambda data: pytest.fail("decoded"))
    with pytest.raises(Image.DecompressionBombError):
        Image.open(io.BytesIO(bytes(head) + stream))
    # With Pillow's limit off, the file is read as it is.
    monkeypatch.undo()
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", None)
    with Image.open(io.BytesIO(bytes(head) + stream)) as image:
        assert image.size == (4, 4) and image.tobytes() == bytes(48)


def test_only_the_stream_is_read_and_no_more_than_it_can_use():
    bmp = BITMAPS["rgb24.bmp"]
    packed = cbmp.compress(bmp)

    class Counting(io.BytesIO):
        largest = 0

        def read(self, size=-1):
            data = super().read(size)
            Counting.largest = max(Counting.largest, self.tell())
            return data

    # Padding after the stream is never read.
    with _pillow.CbmpImageFile(Counting(packed + bytes(10 << 20))) as image:
        image.load()
    assert Counting.largest == len(packed)
    # A header that claims the padding as its stream: only what a stream can use is read.
    claimed = bytearray(packed + bytes(10 << 20))
    struct.pack_into("<I", claimed, 48, len(claimed) - 60)
    Counting.largest = 0
    with _pillow.CbmpImageFile(Counting(bytes(claimed))) as image, \
            Image.open(io.BytesIO(bmp)) as expected:
        assert image.tobytes() == expected.tobytes()
    longest = 60 + 4 + (9 * (len(bmp) - 54) + 24) // 8
    assert len(packed) <= Counting.largest <= longest


def test_a_stream_that_gives_one_byte_at_a_time():
    class OneByte(io.RawIOBase):
        def __init__(self, data):
            self._data, self._position = data, 0

        def readable(self):
            return True

        def readinto(self, buffer):
            chunk = self._data[self._position:self._position + min(1, len(buffer))]
            buffer[:len(chunk)] = chunk
            self._position += len(chunk)
            return len(chunk)

    for name in ("pal4.bmp", "rle8.bmp", "rgb24-large.bmp"):
        packed = cbmp.compress(BITMAPS[name])
        with _pillow.CbmpImageFile(OneByte(packed)) as image, \
                Image.open(io.BytesIO(BITMAPS[name])) as expected:
            assert image.tobytes() == expected.tobytes()
        with pytest.raises(OSError, match="Failed to read compressed data"):
            _pillow.CbmpImageFile(OneByte(packed[:-1]))


def test_fuzz_truncations_and_byte_flips():
    # Every outcome is either the picture that Pillow makes of the decoded bitmap or an error of
    # the kinds Pillow raises for bad files; never a crash or another exception.
    generator = random.Random(1)
    allowed = (OSError, SyntaxError, ValueError, Image.DecompressionBombError)
    cases = 0
    for name in ("pal4.bmp", "pal8.bmp", "rgb24.bmp", "rle8.bmp", "v5-alpha.bmp"):
        packed = cbmp.compress(BITMAPS[name])
        variants = [packed[:length] for length in range(0, len(packed), 7)]
        for _ in range(150):
            mutated = bytearray(packed)
            for _ in range(generator.randint(1, 4)):
                position = generator.randrange(len(mutated))
                if generator.random() < 0.5 and position < 60:
                    mutated[position] = generator.choice((0, 0xFF, 0x7F, 0x80, 12))
                else:
                    mutated[position] ^= 1 << generator.randrange(8)
            variants.append(bytes(mutated))
        for data in variants:
            cases += 1
            try:
                decoded = cbmp.decompress(data)
            except cbmp.Error:
                decoded = None
            ours, _ = outcome(lambda: Image.open(io.BytesIO(data)))
            if decoded is None:
                assert ours[0] != "ok" and issubclass(ours[0], allowed), ours
                continue
            plain, _ = outcome(lambda: Image.open(io.BytesIO(decoded)))
            if ours[0] == "ok":
                assert ours == plain
            else:
                assert issubclass(ours[0], allowed), ours
    assert cases > 1000


def _zero_stream(size):
    """A valid compressed stream of `size` zero bytes made of long matches: 8 literals (9 bytes
    exactly), then 3-byte matches of distance 2 and length 258, then literals and the end
    marker."""
    count, rest = divmod(size - 8, 258)
    bits = []
    for _ in range(rest):
        bits.append((0, 9))
    bits.append((1, 17))
    tail, width = 0, 0
    for value, length in bits:
        tail |= value << width
        width += length
    return (struct.pack("<I", size) + bytes(9) + b"\x03\x00\xff" * count
            + tail.to_bytes((width + 7) // 8, "little"))


_PROBE = textwrap.dedent("""
    import io, json, sys, time
    import cbmp
    from PIL import Image

    def peak_kb():  # this process's own high-water mark (ru_maxrss would count the parent's)
        with open("/proc/self/status") as status:
            return int(next(l for l in status if l.startswith("VmHWM:")).split()[1])

    baseline = peak_kb()
    start = time.perf_counter()
    try:
        with Image.open(sys.argv[1]) as image:
            image.thumbnail((128, 128))
            outcome = "opened %dx%d" % image.size
    except Exception as error:
        outcome = type(error).__name__
    seconds = time.perf_counter() - start
    peak = peak_kb()
    print(json.dumps({"outcome": outcome, "seconds": seconds, "baseline_kb": baseline,
                      "peak_kb": peak}))
""")


def _probe(path, capsys):
    """Opens `path` in a fresh interpreter; returns what happened, its time and peak memory."""
    import json
    done = subprocess.run([sys.executable, "-c", _PROBE, str(path)], capture_output=True,
                          text=True, timeout=120, check=True)
    report = json.loads(done.stdout)
    with capsys.disabled():
        print(f"\n  bomb {path.name}: {report['outcome']} in {report['seconds']:.3f} s, peak "
              f"{report['peak_kb']} KB (interpreter with Pillow and cbmp: "
              f"{report['baseline_kb']} KB)")
    return report


def _assert_bounded(report):
    if os.environ.get("CBMP_TEST_UNDER_SANITIZER"):
        return  # the sanitizer's own memory would be counted: the outcome alone is checked
    assert report["peak_kb"] - report["baseline_kb"] < 64 * 1024


@pytest.mark.parametrize("header_size", [12, 40, 124])
def test_bomb_of_a_huge_image(header_size, tmp_path, capsys):
    # 18,918 x 18,918 pixels of 24 bits, about 1 GiB decoded, in a 12.5 MB-class CBMP (the OS/2
    # kind has 16-bit sizes: 18,918 fits). Refused from the header, before anything is decoded.
    side = 18918
    size = (((side * 24 + 31) >> 3) & ~3) * side
    stream = _zero_stream(size)
    head = bytearray(cbmp.compress(bitmap(header_size, 2, 2))[:60])
    if header_size == 12:
        struct.pack_into("<HH", head, 12, side, side)
    else:
        struct.pack_into("<ii", head, 12, side, side)
    struct.pack_into("<III", head, 48, len(stream), size, 0)
    path = tmp_path / f"huge-{header_size}.cbmp"
    path.write_bytes(bytes(head) + stream)
    assert 12_000_000 < path.stat().st_size < 13_000_000
    report = _probe(path, capsys)
    assert report["outcome"] == "DecompressionBombError"
    _assert_bounded(report)


def test_bomb_of_a_small_image_padded_to_a_gibibyte(tmp_path, capsys):
    packed = cbmp.compress(BITMAPS["rgb24-large.bmp"])
    path = tmp_path / "padded.cbmp"
    with open(path, "wb") as file:
        file.write(packed)
        file.truncate(1 << 30)  # sparse: no disk space taken
    report = _probe(path, capsys)
    assert report["outcome"].startswith("opened")
    _assert_bounded(report)
    # The same file whose header claims the padding as its stream.
    with open(path, "r+b") as file:
        file.seek(48)
        file.write(struct.pack("<I", (1 << 30) - 60))
    report = _probe(path, capsys)
    assert report["outcome"].startswith("opened")
    _assert_bounded(report)
