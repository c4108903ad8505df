"""CBMP images for Python: the core library's in-memory operations and a Pillow plugin.

    import cbmp
    cbmp_bytes = cbmp.compress(open("image.bmp", "rb").read())
    bmp_bytes = cbmp.decompress(cbmp_bytes)
    header = cbmp.info(cbmp_bytes)          # width, height, bit_count, sizes, ...

Importing the package registers the CBMP format with Pillow when Pillow is installed, so that
PIL.Image.open("image.cbmp") opens a CBMP file and image.save("image.cbmp") writes one.
Every failure raises cbmp.Error; its `code` is a cbmp.Result.
"""
import enum

from ._core import Error, Info, compress, decompress, info, version

__all__ = ["Error", "Info", "Result", "compress", "decompress", "info", "version"]
__version__ = version()


class Result(enum.IntEnum):
    """The core library's result codes, as cbmp.Error.code holds them."""

    OK = 0
    INVALID_ARGUMENT = 1
    NO_MEMORY = 2
    CANNOT_OPEN = 3
    READ = 4
    CANNOT_CREATE = 5
    WRITE = 6
    OUTPUT_IS_INPUT = 7
    NOT_BMP = 8
    COLOR_TABLE_SHORT = 9
    PIXEL_DATA_SHORT = 10
    BMP_LAYOUT = 11
    TOO_LARGE = 12
    NOT_CBMP = 13
    UNSUPPORTED_VERSION = 14
    COMPRESSED_DATA_SHORT = 15
    CORRUPT_STREAM = 16
    CBMP_LAYOUT = 17


try:
    from . import _pillow  # noqa: F401  (registers the format)
except ImportError:  # Pillow is not installed: the functions above still work
    pass
