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
