"""Shared fixtures: the test images of every bit depth, made by addons/tests/make_test_images.py."""
import os
import pathlib
import runpy

import pytest


def _make_images():
    path = os.environ.get("CBMP_TEST_MAKE_IMAGES") or str(
        pathlib.Path(__file__).resolve().parents[2] / "tests" / "make_test_images.py")
    return runpy.run_path(path)["images"]()


BITMAPS = _make_images()


@pytest.fixture(params=sorted(BITMAPS), ids=lambda name: name[:-4])
def bitmap(request):
    """(name, bytes) of one test image."""
    return request.param, BITMAPS[request.param]


@pytest.fixture(scope="session")
def corpus():
    """The public BMP suite's folder, where it is; tests that need it skip otherwise."""
    folder = pathlib.Path(os.environ.get("CBMP_TEST_CORPUS", "/nonexistent"))
    if not folder.is_dir():
        pytest.skip(f"no BMP suite at {folder}")
    return folder
