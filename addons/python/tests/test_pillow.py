"""The Pillow plugin: CBMP files open and save like BMP files."""
import io
import os
import struct

import pytest
from PIL import Image

import cbmp
from conftest import BITMAPS


def _same_picture(expected, actual):
    assert actual.size == expected.size
    assert actual.mode == expected.mode
    assert actual.getpalette() == expected.getpalette()
    assert actual.tobytes() == expected.tobytes()


def test_every_bit_depth_opens_like_its_bmp_file(bitmap, tmp_path):
    name, bmp = bitmap
    path = tmp_path / (name[:-4] + ".cbmp")
    path.write_bytes(cbmp.compress(bmp))
    with Image.open(io.BytesIO(bmp)) as expected, Image.open(path) as actual:
        assert actual.format == "CBMP"
        assert actual.get_format_mimetype() == "image/x-cbmp"
        _same_picture(expected, actual)
        assert actual.info["cbmp"].bit_count == struct.unpack_from("<H", bmp, 28)[0]


@pytest.mark.parametrize("mode", ["1", "L", "P", "RGB", "RGBA"])
def test_save_and_reopen(mode, tmp_path):
    with Image.open(io.BytesIO(BITMAPS["v5-alpha.bmp"])) as source:
        image = source.convert(mode)
    path = tmp_path / "saved.cbmp"
    image.save(path)  # the format comes from the extension
    assert path.read_bytes()[:4] == b"CBMP"
    # What Pillow gets back from the same image saved as BMP (RGBA comes back as RGB).
    bmp = io.BytesIO()
    image.save(bmp, format="BMP")
    assert cbmp.decompress(path.read_bytes()) == bmp.getvalue()
    with Image.open(bmp) as expected, Image.open(path) as reopened:
        assert reopened.format == "CBMP"
        _same_picture(expected, reopened)
    buffer = io.BytesIO()
    image.save(buffer, format="CBMP")
    assert buffer.getvalue() == path.read_bytes()


def test_broken_files_raise_and_close_the_file(tmp_path):
    packed = cbmp.compress(BITMAPS["pal8.bmp"])
    cases = {
        "cut.cbmp": packed[:len(packed) // 2],
        "version.cbmp": packed[:4] + b"\x02" + packed[5:],
        "header.cbmp": packed[:30],
    }
    open_files = len(os.listdir("/proc/self/fd"))
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(OSError) as caught:
            Image.open(path)
        assert "CBMP" in str(caught.value)
    assert len(os.listdir("/proc/self/fd")) == open_files

    # Opened by name, the file is closed as soon as it has been read.
    path = tmp_path / "good.cbmp"
    path.write_bytes(packed)
    image = Image.open(path)
    assert len(os.listdir("/proc/self/fd")) == open_files
    image.load()
    image.close()


def test_public_bmp_suite(corpus):
    compared = refused = 0
    for path in sorted(corpus.rglob("*.bmp")):
        bmp = path.read_bytes()
        try:
            packed = cbmp.compress(bmp)
        except cbmp.Error:
            continue
        if cbmp.decompress(packed) != bmp:
            continue  # not kept byte for byte (see the README), so not comparable
        try:
            with Image.open(io.BytesIO(bmp)) as expected:
                expected.load()
        except Exception as plain_error:
            # Pillow cannot read the original: the CBMP fails the same way.
            with pytest.raises(type(plain_error)):
                with Image.open(io.BytesIO(packed)) as actual:
                    actual.load()
            refused += 1
            continue
        with Image.open(io.BytesIO(bmp)) as expected, Image.open(io.BytesIO(packed)) as actual:
            _same_picture(expected, actual)
        compared += 1
    assert compared > 30 and refused > 0
