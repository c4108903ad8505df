"""The CBMP format for Pillow: reading through Pillow's own BMP reader, writing through its BMP
writer, with the core library in between. Registered by importing the cbmp package.

Reading is bounded before anything is decoded, from the 60-byte header alone:
- Pillow's pixel limit, exactly as for any image (Image.MAX_IMAGE_PIXELS: DecompressionBombError
  above twice the limit, raised here before decoding; the DecompressionBombWarning above the limit
  comes from Image.open as usual), on the dimensions that Pillow's BMP reader gives the bitmap,
  for every info-header kind;
- while that limit is on, the decoded bitmap may hold no more than the rows of those dimensions
  and bit depth need (for RLE, two bytes a pixel and an end of line a row) plus 4 MiB for the
  rest of the header, the colour table and any gap; a larger one is a DecompressionBombError;
- info-header kinds and bit depths that Pillow's BMP reader refuses are refused with its message;
- nothing past the header and its compressed size is read, and no more of that than a stream
  for the decoded size can hold (the stream ends itself, so later bytes are never used).
The decoded bitmap is then read in place, without a second copy, and released by load()."""
import io

from PIL import BmpImagePlugin, Image, ImageFile
from PIL._binary import i16le, i32le

from . import _core

HEADER_SIZE = 60
_COMPRESSED_SIZE_AT = 48
_READ_CHUNK = 1 << 20
# Bytes a decoded bitmap may have beyond its pixel rows: its file and info headers, bit masks, a
# colour table (Pillow reads up to 65,536 entries of 4 bytes) and room for gaps and a tail.
_LAYOUT_ALLOWANCE = 4 << 20
_RLE = (BmpImagePlugin.BmpImageFile.RLE8, BmpImagePlugin.BmpImageFile.RLE4)


def _accept(prefix):
    return prefix[:4] == b"CBMP"


def bitmap_geometry(head):
    """(width, height, bits, compression) of the bitmap whose CBMP header is `head`, as Pillow's
    BMP reader computes them from its info header (which the CBMP header holds from offset 8 on,
    in BMP order). OSError, with Pillow's message, for the kinds and depths that it refuses."""
    header_size = i32le(head, 8)
    if header_size == 12:  # OS/2 1.x: 16-bit width and height, no compression field
        width, height = i16le(head, 12), i16le(head, 14)
        bits, compression = i16le(head, 18), BmpImagePlugin.BmpImageFile.RAW
    elif header_size in (40, 64, 108, 124):
        width, height = i32le(head, 12), i32le(head, 16)
        if head[19] == 0xFF:  # top-down: Pillow takes the height's two's complement
            height = 2**32 - height
        bits, compression = i16le(head, 22), i32le(head, 24)
    else:
        raise OSError(f"Unsupported BMP header type ({header_size})")
    if bits not in BmpImagePlugin.BIT2MODE:
        raise OSError(f"Unsupported BMP pixel depth ({bits})")
    return width, height, bits, compression


def decoded_size_limit(width, height, bits, compression):
    """The most bytes of colour table and pixels that a bitmap of this geometry may decode to."""
    if width == 0 or height == 0:
        rows = 0  # Pillow reads no pixel at all
    elif compression in _RLE:
        rows = height * (2 * width + 2) + 2
    else:
        rows = height * (((width * bits + 31) >> 3) & ~3)
    return rows + _LAYOUT_ALLOWANCE


def _longest_stream(size):
    """Bytes of the longest compressed stream that decodes to `size` bytes: its 4-byte length,
    then a 9-bit literal for every byte and the 17-bit end marker."""
    return 4 + (9 * size + 17 + 7) // 8


def _check_bounds(head, header):
    width, height, bits, compression = bitmap_geometry(head)
    if Image.MAX_IMAGE_PIXELS is None:
        return
    # Pillow's own rule and message; it raises only above twice the limit, and Image.open gives
    # the warning between the two from the opened image's size, which is this one.
    if width * height > 2 * Image.MAX_IMAGE_PIXELS:
        Image._decompression_bomb_check((width, height))
    limit = decoded_size_limit(width, height, bits, compression)
    if header.original_size > limit:
        raise Image.DecompressionBombError(
            f"CBMP bitmap of {header.original_size} bytes exceeds the {limit} bytes that a "
            f"{width}x{height} image of {bits} bits per pixel needs, could be decompression bomb "
            "DOS attack.")


def _read_into(data, source, size):
    """Appends up to `size` bytes of `source` to `data`, in pieces, so that a size read from a
    header is never allocated before the bytes are there, and short reads (a raw stream, a pipe)
    are taken as they come. Fewer only at the end of the file."""
    end = len(data) + size
    while len(data) < end:
        chunk = source.read(min(_READ_CHUNK, end - len(data)))
        if not chunk:
            break
        data += chunk
    return data


def _read_stream(source, head, header):
    """The header and the compressed stream; cut to the longest stream of the decoded size, with
    the header's compressed size set to match. A stream cut short is left to the core to
    report."""
    wanted = min(header.compressed_size, _longest_stream(header.original_size))
    data = _read_into(bytearray(head), source, wanted)
    if wanted < header.compressed_size:
        data[_COMPRESSED_SIZE_AT:_COMPRESSED_SIZE_AT + 4] = wanted.to_bytes(4, "little")
    return data


class _DecodedReader(io.RawIOBase):
    """A read-only, seekable file over a decoded bitmap, without copying it."""

    def __init__(self, decoded):
        super().__init__()
        self._view = memoryview(decoded)
        self._position = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def read(self, size=-1):
        self._checkClosed()
        end = len(self._view) if size is None or size < 0 else self._position + size
        data = bytes(self._view[self._position:end])
        self._position += len(data)
        return data

    def readinto(self, buffer):
        data = self.read(len(memoryview(buffer)))
        memoryview(buffer).cast("B")[:len(data)] = data
        return len(data)

    def seek(self, offset, whence=io.SEEK_SET):
        self._checkClosed()
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: len(self._view)}[whence]
        if base + offset < 0:
            raise ValueError("negative seek position")
        self._position = base + offset
        return self._position

    def tell(self):
        self._checkClosed()
        return self._position

    def close(self):
        if not self.closed:
            self._view.release()
        super().close()


class CbmpImageFile(BmpImagePlugin.BmpImageFile):
    """A CBMP file, decompressed when it is opened and then read as the BMP file it holds."""

    format = "CBMP"
    format_description = "CBMP compressed bitmap"

    def __init__(self, fp=None, filename=None):
        self._source = None
        try:
            super().__init__(fp, filename)
        except BaseException:
            # Pillow closes what it opened, which may be our reader by now: the file too.
            if getattr(self, "_exclusive_fp", None) and self._source is not None:
                self._source.close()
            raise
        if self.filename and self._source is not None:
            self._source.close()  # Pillow opened it by name; everything needed has been read

    def _open(self):
        source = self._source = self.fp
        head = bytes(_read_into(bytearray(), source, HEADER_SIZE))
        if not _accept(head):
            raise SyntaxError("Not a CBMP file")
        try:
            header = _core.info(head)
            _check_bounds(head, header)
            decoded = _core._decode(_read_stream(source, head, header))
        except _core.Error as error:
            raise OSError(f"cannot read CBMP file: {error.text}") from error
        self.fp = _DecodedReader(decoded)
        try:
            super()._open()
        except BaseException:
            # Pillow's next format reads the file from its start; our reader goes.
            self.fp.close()
            self.fp = source
            raise
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
    fp.write(_core.compress(bmp.getbuffer()))


Image.register_open(CbmpImageFile.format, CbmpImageFile, _accept)
Image.register_save(CbmpImageFile.format, _save)
Image.register_extension(CbmpImageFile.format, ".cbmp")
Image.register_mime(CbmpImageFile.format, "image/x-cbmp")
