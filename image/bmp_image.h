// BmpImage, the in-memory bitmap, and the BMP files it is read from and written to.
//
// A BMP file is read as three blocks: the 54 bytes of the file header and the 40-byte info header,
// the colour-table block (every byte from offset 54 up to the pixel offset bfOffBits: a palette,
// the rest of a larger info header, bit-field masks, or a gap) and the pixel block (bfOffBits up
// to bfSize). Pixels and compression schemes are never interpreted. A file whose bfOffBits is
// below 54 has its palette size taken from the bit depth instead and its pixels right after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/byte_buffer.h"
#include "image/le_fields.h"
#include "io/output_file.h"

namespace cbmp {

inline constexpr std::uint16_t kBmpSignature = 0x4D42;  // "BM"
inline constexpr std::uint32_t kBmpFileHeaderSize = 14;
inline constexpr std::uint32_t kBmpInfoHeaderSize = 40;
inline constexpr std::uint32_t kBmpHeadersSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;  // 54

struct BmpImage {
    std::uint16_t bfType = 0;
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0;
    std::uint16_t bfReserved2 = 0;
    std::uint32_t bfOffBits = 0;
    // The info header: these eleven fields, serialised in order, are its 40 bytes.
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;

    // The colour-table bytes followed by the pixel bytes, in one buffer: it is the payload that a
    // CBMP file compresses, so it is compressed in place. Null until filled.
    ByteBuffer payload;
    std::uint32_t paletteSize = 0;
    std::uint32_t pixelSize = 0;

    // The file the record was read from, so that a writer can refuse to replace it; unknown for
    // a record read from memory or built by hand.
    FileIdentity source;

    const std::uint8_t* Palette() const { return paletteSize == 0 ? nullptr : payload.get(); }
    const std::uint8_t* Pixels() const { return payload ? payload.get() + paletteSize : nullptr; }
};

// A new zero-filled record, or null when memory is exhausted.
BmpImage* CreateBmpImage();

// Releases the record and its buffer; null is ignored.
void FreeBmpImage(BmpImage* image);

struct BmpImageDeleter {
    void operator()(BmpImage* image) const { FreeBmpImage(image); }
};
using BmpImagePtr = std::unique_ptr<BmpImage, BmpImageDeleter>;

// The 40-byte info header of `image`, and the reverse.
// The 40-byte info header of any record that carries its eleven fields (a BmpImage, a
// CbmpHeader), serialised in BMP order, and the reverse.
template <typename Record>
void WriteInfoFields(const Record& r, std::uint8_t* bytes) {
    WriteU32LE(bytes, r.biSize);
    WriteI32LE(bytes + 4, r.biWidth);
    WriteI32LE(bytes + 8, r.biHeight);
    WriteU16LE(bytes + 12, r.biPlanes);
    WriteU16LE(bytes + 14, r.biBitCount);
    WriteU32LE(bytes + 16, r.biCompression);
    WriteU32LE(bytes + 20, r.biSizeImage);
    WriteI32LE(bytes + 24, r.biXPelsPerMeter);
    WriteI32LE(bytes + 28, r.biYPelsPerMeter);
    WriteU32LE(bytes + 32, r.biClrUsed);
    WriteU32LE(bytes + 36, r.biClrImportant);
}

template <typename Record>
void ReadInfoFields(const std::uint8_t* bytes, Record& r) {
    r.biSize = ReadU32LE(bytes);
    r.biWidth = ReadI32LE(bytes + 4);
    r.biHeight = ReadI32LE(bytes + 8);
    r.biPlanes = ReadU16LE(bytes + 12);
    r.biBitCount = ReadU16LE(bytes + 14);
    r.biCompression = ReadU32LE(bytes + 16);
    r.biSizeImage = ReadU32LE(bytes + 20);
    r.biXPelsPerMeter = ReadI32LE(bytes + 24);
    r.biYPelsPerMeter = ReadI32LE(bytes + 28);
    r.biClrUsed = ReadU32LE(bytes + 32);
    r.biClrImportant = ReadU32LE(bytes + 36);
}

void EncodeInfoHeader(const BmpImage& image, std::uint8_t* bytes);
void DecodeInfoHeader(const std::uint8_t* bytes, BmpImage& image);

// Reads the BMP file at `path`. Returns a new record owned by the caller, or null after printing
// the reason (some failures, such as exhausted memory, are silent).
BmpImage* ReadBmpFile(const char* path);

// Reads a BMP file held in memory, with the messages of ReadBmpFile.
BmpImage* ReadBmpMemory(const std::uint8_t* data, std::size_t size);

// Writes `image` as a BMP file: headers with bfSize and bfOffBits recomputed from the block sizes,
// then the colour-table block and the pixel block. Returns 1, or 0 after printing the reason.
int WriteBmpFile(const char* path, const BmpImage* image,
                 const TempFileObserver* observer = nullptr);

}  // namespace cbmp
