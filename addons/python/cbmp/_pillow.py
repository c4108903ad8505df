"""The CBMP format for Pillow: reading through Pillow's own BMP reader, writing through its BMP
writer, with the core library in between. Registered by importing the cbmp package."""
import io

from PIL import BmpImagePlugin, Image, ImageFile

from . import _core

HEADER_SIZE = 60


def _accept(prefix):
    return prefix[:4] == b"CBMP"


class CbmpImageFile(BmpImagePlugin.BmpImageFile):
    """A CBMP file, decompressed when it is opened and then read as the BMP file it holds."""

    format = "CBMP"
    format_description = "CBMP compressed bitmap"

    def _open(self):
        source = self.fp
        head = source.read(HEADER_SIZE)
        if not _accept(head):
            raise SyntaxError("Not a CBMP file")
        try:
            header = _core.info(head)
            # Pillow's guard against decompression bombs, before the image is decompressed, where
            # the header holds the dimensions (a Windows info header; Pillow checks again later).
            if header.info_header_size >= 40:
                Image._decompression_bomb_check((header.width, abs(header.height)))
            bmp = _core.decompress(head + source.read(header.compressed_size))
        except _core.Error as error:
            raise OSError(f"cannot read CBMP file: {error.text}") from error
        self.fp = io.BytesIO(bmp)
        # A file that Image.open opened by its name is ours to close; it is no longer needed.
        if self.filename:
            source.close()
        super()._open()
        self.info["cbmp"] = header

    def load(self):
        # Pillow would map the file of that name and read pixels from it: they are in the BMP.
        filename, self.filename = self.filename, ""
        try:
            return super().load()
        finally:
            self.filename = filename


def _save(im, fp, filename):
    bmp = io.BytesIO()
    BmpImagePlugin._save(im, bmp, filename)
    fp.write(_core.compress(bmp.getvalue()))


Image.register_open(CbmpImageFile.format, CbmpImageFile, _accept)
Image.register_save(CbmpImageFile.format, _save)
Image.register_extension(CbmpImageFile.format, ".cbmp")
Image.register_mime(CbmpImageFile.format, "image/x-cbmp")
