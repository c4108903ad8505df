"""cbmp.convert over many files: naming, failures among many, any executor, a Dask cluster."""
import concurrent.futures
import os
import pathlib
import pickle

import pytest

import cbmp
from conftest import BITMAPS


@pytest.mark.parametrize("name, decompress, expected", [
    ("x.bmp", False, "x.cbmp"),
    ("dir.bmp/X.BMP", False, "dir.bmp/X.cbmp"),
    ("photo.dib", False, "photo.dib.cbmp"),
    ("dir.cbmp/x", False, "dir.cbmp/x.cbmp"),
    ("dir/.bmp", False, "dir/.bmp.cbmp"),  # nothing in front of the suffix: not a suffix
    (b"x.bmp", False, b"x.cbmp"),
    (pathlib.Path("a/x.bmp"), False, os.path.join("a", "x.cbmp")),
    ("x.cbmp", True, "x.bmp"),
    ("x.CBMP", True, "x.bmp"),
    (b"d/x.cbmp", True, b"d/x.bmp"),
])
def test_output_names(name, decompress, expected):
    assert cbmp.output_name(name, decompress=decompress) == expected


@pytest.mark.parametrize("name, decompress", [("x.cbmp", False), ("x.Cbmp", False),
                                              ("x.bmp", True), ("d/.cbmp", True)])
def test_names_without_an_output(name, decompress):
    with pytest.raises(ValueError):
        cbmp.output_name(name, decompress=decompress)


def _folder(tmp_path, count=8):
    """`count` bitmaps of every kind, and one that is not a bitmap, in a fresh folder."""
    names = sorted(BITMAPS)
    paths = []
    for index in range(count):
        name = names[index % len(names)]
        path = tmp_path / f"{index:02d}-{name}"
        path.write_bytes(BITMAPS[name])
        paths.append(path)
    bad = tmp_path / "bad.bmp"
    bad.write_bytes(b"BM" + bytes(40))
    paths.insert(3, bad)
    return paths


def _check_batch(paths, results):
    assert [result.source for result in results] == paths
    for path, result in zip(paths, results):
        if path.name == "bad.bmp":
            assert not result.ok
            assert isinstance(result.error, cbmp.Error)
            assert result.error.code == cbmp.Result.NOT_BMP
            assert not os.path.exists(result.output)
        else:
            assert result.ok, result
            assert result.output == str(path)[:-4] + ".cbmp"
            assert pathlib.Path(result.output).read_bytes() == cbmp.compress(path.read_bytes())


def test_one_failure_among_many_and_the_way_back(tmp_path):
    paths = _folder(tmp_path, 12)
    results = cbmp.convert(paths)
    _check_batch(paths, results)
    originals = {path: path.read_bytes() for path in paths}
    for path in paths:
        path.unlink()
    packed = [pathlib.Path(r.output) for r in results if r.ok]
    back = cbmp.convert(packed + [tmp_path / "missing.cbmp", tmp_path / "00-pal1.bmp"],
                        decompress=True)
    for result in back[:-2]:
        assert result.ok
        assert pathlib.Path(result.output).read_bytes() == originals[pathlib.Path(result.output)]
    assert back[-2].error.code == cbmp.Result.CANNOT_OPEN
    assert isinstance(back[-1].error, ValueError) and back[-1].output is None


def test_existing_outputs_are_kept_unless_overwrite(tmp_path):
    source = tmp_path / "a.bmp"
    source.write_bytes(BITMAPS["rgb24.bmp"])
    output = tmp_path / "a.cbmp"
    output.write_bytes(b"keep me")
    dangling = tmp_path / "b.cbmp"
    dangling.symlink_to(tmp_path / "nowhere")
    (tmp_path / "b.bmp").write_bytes(BITMAPS["pal4.bmp"])
    first, second = cbmp.convert([source, tmp_path / "b.bmp"])
    assert isinstance(first.error, FileExistsError) and isinstance(second.error, FileExistsError)
    assert output.read_bytes() == b"keep me"
    assert os.readlink(dangling) == str(tmp_path / "nowhere")
    (result,) = cbmp.convert([str(source)], overwrite=True, durable=True)
    assert result.ok and output.read_bytes() == cbmp.compress(BITMAPS["rgb24.bmp"])


def test_any_executor_a_process_pool(tmp_path):
    paths = _folder(tmp_path, 6)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        results = cbmp.convert(paths, executor=pool, threads=1)
    _check_batch(paths, results)
    # What a process sends back: an error that keeps its code and text.
    error = pickle.loads(pickle.dumps(results[3].error))
    assert (error.code, error.text) == (cbmp.Result.NOT_BMP, "Not a valid BMP file")


def test_an_executor_failure_is_that_file_result(tmp_path):
    class Refusing(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            if pathlib.Path(args[0]).name.startswith("02-"):
                future = concurrent.futures.Future()
                future.set_exception(RuntimeError("worker lost"))
                return future
            return super().submit(fn, *args, **kwargs)

    paths = _folder(tmp_path, 4)
    with Refusing(2) as pool:
        results = cbmp.convert(paths, executor=pool)
    assert [type(r.error).__name__ for r in results] == [
        "NoneType", "NoneType", "RuntimeError", "Error", "NoneType"]
