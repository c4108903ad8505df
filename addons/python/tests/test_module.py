"""cbmp.compress, cbmp.decompress and cbmp.info over the core library."""
import struct
import threading

import pytest

import cbmp
from conftest import BITMAPS


def test_round_trip_and_header_of_every_bit_depth(bitmap):
    name, bmp = bitmap
    packed = cbmp.compress(bmp)
    assert isinstance(packed, bytes)
    assert packed[:8] == b"CBMP\x01\x00\x00\x00"
    assert cbmp.decompress(packed) == bmp
    # Any bytes-like object will do.
    assert cbmp.decompress(bytearray(packed)) == bmp
    assert cbmp.compress(memoryview(bmp)) == packed

    header = cbmp.info(packed[:60])
    width, height = struct.unpack_from("<ii", bmp, 18)
    bits, compression = struct.unpack_from("<HI", bmp, 28)
    assert (header.width, header.height, header.bit_count) == (width, height, bits)
    assert header.compression == compression
    assert header.compressed_size == len(packed) - 60
    assert header.bmp_size == len(bmp)
    assert header.original_size == len(bmp) - 54
    assert cbmp.info(packed) == header


def _cbmp_with(offset, value):
    packed = bytearray(cbmp.compress(BITMAPS["pal8.bmp"]))
    struct.pack_into("<I", packed, offset, value)
    return bytes(packed)


@pytest.mark.parametrize("call, data, result", [
    (cbmp.decompress, b"", cbmp.Result.NOT_CBMP),
    (cbmp.decompress, b"BM" + bytes(100), cbmp.Result.NOT_CBMP),
    (cbmp.info, b"CBMP", cbmp.Result.NOT_CBMP),
    (cbmp.decompress, _cbmp_with(4, 2), cbmp.Result.UNSUPPORTED_VERSION),
    (cbmp.info, _cbmp_with(4, 2), cbmp.Result.UNSUPPORTED_VERSION),
    (cbmp.decompress, _cbmp_with(48, 1 << 30), cbmp.Result.COMPRESSED_DATA_SHORT),
    (cbmp.decompress, _cbmp_with(56, 1 << 30), cbmp.Result.CBMP_LAYOUT),
    (cbmp.compress, b"", cbmp.Result.NOT_BMP),
    (cbmp.compress, b"GIF89a" + bytes(100), cbmp.Result.NOT_BMP),
    (cbmp.compress, BITMAPS["pal8.bmp"][:300], cbmp.Result.COLOR_TABLE_SHORT),
    (cbmp.compress, BITMAPS["rgb24.bmp"][:-1], cbmp.Result.PIXEL_DATA_SHORT),
], ids=["empty", "bmp", "short-header", "version", "info-version", "cut", "palette", "empty-bmp",
        "gif", "cut-palette", "cut-pixels"])
def test_failures_raise_error_with_the_core_result(call, data, result):
    with pytest.raises(cbmp.Error) as caught:
        call(data)
    assert caught.value.code == result
    assert isinstance(caught.value.text, str) and caught.value.text
    assert str(caught.value) == caught.value.text


def test_corrupt_stream_is_an_error_or_a_bitmap_of_the_stated_size():
    packed = cbmp.compress(BITMAPS["rgb24-large.bmp"])
    failures = 0
    for at in range(64, len(packed), 97):
        broken = bytearray(packed)
        broken[at] ^= 0x5A
        try:
            assert len(cbmp.decompress(broken)) == len(BITMAPS["rgb24-large.bmp"])
        except cbmp.Error as error:
            assert error.code == cbmp.Result.CORRUPT_STREAM
            failures += 1
    assert failures > 0


def test_wrong_argument_types_raise_type_error():
    with pytest.raises(TypeError):
        cbmp.compress("text is not bytes")
    with pytest.raises(TypeError):
        cbmp.decompress(42)
    with pytest.raises(TypeError):
        cbmp.compress(BITMAPS["rgb24.bmp"], 2)  # threads is keyword-only


def test_thread_count_does_not_change_the_file():
    bmp = BITMAPS["rgb24-large.bmp"]
    assert cbmp.compress(bmp, threads=1) == cbmp.compress(bmp, threads=2) == cbmp.compress(bmp)


def test_many_threads_at_once():
    expected = {name: cbmp.compress(bmp) for name, bmp in BITMAPS.items()}
    names = sorted(BITMAPS)
    problems = []
    start = threading.Barrier(16)

    def work(index):
        start.wait()
        for round_number in range(6):
            name = names[(index + round_number) % len(names)]
            packed = cbmp.compress(BITMAPS[name])
            if packed != expected[name] or cbmp.decompress(packed) != BITMAPS[name]:
                problems.append(name)
            try:
                cbmp.decompress(packed[:-1])
                problems.append("cut file decompressed")
            except cbmp.Error:
                pass

    threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert problems == []


def test_version_and_result_names():
    assert cbmp.__version__ == cbmp.version()
    assert cbmp.version().startswith("1.")
    assert cbmp.Result(13).name == "NOT_CBMP"
