"""CBMP images for Python: the core library's operations, batches of files, and a Pillow plugin.

    import cbmp
    cbmp_bytes = cbmp.compress(open("image.bmp", "rb").read())
    bmp_bytes = cbmp.decompress(cbmp_bytes)
    header = cbmp.info(cbmp_bytes)          # width, height, bit_count, sizes, ...
    cbmp.compress_file("image.bmp", "image.cbmp")
    results = cbmp.convert(["a.bmp", "b.bmp"])   # a.cbmp, b.cbmp, in parallel

Importing the package registers the CBMP format with Pillow when Pillow is installed, so that
PIL.Image.open("image.cbmp") opens a CBMP file and image.save("image.cbmp") writes one.
Every failure of the core library raises cbmp.Error; its `code` is a cbmp.Result.
"""
import enum

from . import _core
from ._batch import Converted, convert, output_name
from ._core import (Error, Info, compress, compress_file, decompress, decompress_file, info,
                    results, version)

__all__ = ["Converted", "Error", "Info", "Result", "compress", "compress_file", "convert",
           "decompress", "decompress_file", "info", "output_name", "version"]
__version__ = version()


class _ResultBase(enum.IntEnum):
    @property
    def text(self):
        """The core library's description of this result."""
        return _TEXTS[self.value]


# The core library's result codes, as its header names them and as the library in use answers
# them (cbmp._core.results()): never a copy kept here.
Result = _ResultBase("Result", [(name, code) for name, code, _ in results()], module=__name__)
Result.__doc__ = "The core library's result codes, as cbmp.Error.code holds them."
_TEXTS = {code: text for _, code, text in results()}
_core._set_result_type(Result)

try:
    from . import _pillow  # noqa: F401  (registers the format)
except ImportError:  # Pillow is not installed: the functions above still work
    pass
