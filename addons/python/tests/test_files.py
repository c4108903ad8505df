"""cbmp.compress_file and cbmp.decompress_file, the threads= range, and the Result enum."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

import cbmp
from conftest import BITMAPS


def _names(folder):
    return sorted(os.listdir(folder))


def test_files_round_trip_with_every_kind_of_path(bitmap, tmp_path):
    name, bmp = bitmap
    source = tmp_path / name
    source.write_bytes(bmp)
    packed = tmp_path / "packed.cbmp"
    restored = tmp_path / "restored.bmp"
    cbmp.compress_file(str(source), packed, threads=1)
    assert packed.read_bytes() == cbmp.compress(bmp)
    cbmp.decompress_file(bytes(packed), os.fsencode(restored), durable=True)
    assert restored.read_bytes() == bmp
    # Replacing an existing output, durably, with several threads.
    cbmp.compress_file(source, packed, threads=2, durable=True)
    assert packed.read_bytes() == cbmp.compress(bmp)
    assert _names(tmp_path) == sorted([name, "packed.cbmp", "restored.bmp"])


def test_a_failure_leaves_the_old_output_and_no_temporary(tmp_path):
    bad = tmp_path / "bad.bmp"
    bad.write_bytes(BITMAPS["rgb24.bmp"][:-1])  # pixels cut short
    output = tmp_path / "out.cbmp"
    output.write_bytes(b"precious")
    with pytest.raises(cbmp.Error) as caught:
        cbmp.compress_file(bad, output)
    assert caught.value.code is cbmp.Result.PIXEL_DATA_SHORT
    with pytest.raises(cbmp.Error) as caught:
        cbmp.decompress_file(bad, output)
    assert caught.value.code is cbmp.Result.NOT_CBMP
    assert output.read_bytes() == b"precious"
    assert _names(tmp_path) == ["bad.bmp", "out.cbmp"]


def test_file_errors_and_arguments(tmp_path):
    source = tmp_path / "a.bmp"
    source.write_bytes(BITMAPS["pal8.bmp"])
    with pytest.raises(cbmp.Error) as caught:
        cbmp.compress_file(tmp_path / "missing.bmp", tmp_path / "x.cbmp")
    assert caught.value.code is cbmp.Result.CANNOT_OPEN
    with pytest.raises(cbmp.Error) as caught:
        cbmp.compress_file(source, tmp_path / "no-such-folder" / "x.cbmp")
    assert caught.value.code is cbmp.Result.CANNOT_CREATE
    link = tmp_path / "link.bmp"
    link.symlink_to(source)
    with pytest.raises(cbmp.Error) as caught:
        cbmp.compress_file(source, link)
    assert caught.value.code is cbmp.Result.OUTPUT_IS_INPUT
    assert source.read_bytes() == BITMAPS["pal8.bmp"]
    with pytest.raises(ValueError):
        cbmp.compress_file("a\0b", tmp_path / "x.cbmp")  # no NUL reaches the library
    with pytest.raises(TypeError):
        cbmp.compress_file(source)
    with pytest.raises(TypeError):
        cbmp.decompress_file(source, tmp_path / "x.bmp", threads=1)  # decoding is one thread


@pytest.mark.parametrize("threads, error", [
    (-1, ValueError), (-2**70, ValueError), (2**32, OverflowError), (2**64 + 1, OverflowError),
    (1.0, TypeError), ("2", TypeError),
])
def test_threads_out_of_range_are_refused(threads, error, tmp_path):
    bmp = BITMAPS["rgb24.bmp"]
    with pytest.raises(error):
        cbmp.compress(bmp, threads=threads)
    source = tmp_path / "a.bmp"
    source.write_bytes(bmp)
    with pytest.raises(error):
        cbmp.compress_file(source, tmp_path / "a.cbmp", threads=threads)
    assert not (tmp_path / "a.cbmp").exists()


def test_threads_in_range_give_the_same_file():
    bmp = BITMAPS["rgb24-large.bmp"]
    expected = cbmp.compress(bmp)
    for threads in (0, 1, 2, 3, True):
        assert cbmp.compress(bmp, threads=threads) == expected


_GIL_PROBE = """
import os, sys, threading
import cbmp
fifo, output, bitmap = sys.argv[1:]
failures = []

def work():
    try:
        cbmp.compress_file(fifo, output, threads=1)
    except Exception as error:
        failures.append(error)

worker = threading.Thread(target=work)
worker.start()  # blocks in the core, opening the FIFO until a writer comes
# Only if that call let go of the interpreter does this thread get on, to be its writer.
with open(fifo, "wb") as pipe:
    pipe.write(open(bitmap, "rb").read())
worker.join()
sys.exit(1 if failures else 0)
"""


def test_the_gil_is_released_while_the_core_works(tmp_path):
    # The core waits on a FIFO that only this interpreter can feed: with the interpreter's lock
    # kept during the call, the probe would hang (and be stopped).
    fifo = tmp_path / "input.bmp"
    os.mkfifo(fifo)
    bitmap = tmp_path / "source.bmp"
    bitmap.write_bytes(BITMAPS["rgb24-large.bmp"])
    output = tmp_path / "out.cbmp"
    subprocess.run([sys.executable, "-c", _GIL_PROBE, str(fifo), str(output), str(bitmap)],
                   check=True, timeout=60)
    assert output.read_bytes() == cbmp.compress(BITMAPS["rgb24-large.bmp"])


def test_result_enum_is_the_library_and_header_table():
    # Every value the library describes, named as core/cbmpcore.h names it, and nothing more.
    text = pathlib.Path(os.environ["CBMP_TEST_CORE_HEADER"]).read_text()
    header = re.search(r"typedef enum cbmpcore_result \{[^}]*\}", text).group(0)
    declared = {}
    for name, value in re.findall(r"^\s*CBMPCORE_(?:ERROR_)?([A-Z0-9_]+)\s*=\s*(\d+)", header,
                                  re.MULTILINE):
        declared[name] = int(value)
    assert len(declared) >= 18
    assert {member.name: member.value for member in cbmp.Result} == declared
    for member in cbmp.Result:
        assert member.text and member.text != "Unknown error"
        # The header's comment gives each code's text.
        assert re.search(r"= %d,?\s*/\* \"%s\"" % (member.value, re.escape(member.text)), header)
    assert [code for _, code, _ in cbmp.results()] == list(range(len(declared)))
    with pytest.raises(cbmp.Error) as caught:
        cbmp.decompress(b"")
    assert caught.value.code is cbmp.Result.NOT_CBMP
    assert caught.value.code.text == caught.value.text == str(caught.value)
