// BmpImage, the in-memory bitmap, and the BMP file format it is read from and written as.
//
// A BMP file is read as three blocks: the 54 bytes of the file header and the 40-byte info header,
// the colour-table block (every byte from offset 54 up to the pixel offset bfOffBits: a palette,
// the rest of a larger info header, bit-field masks, or a gap) and the pixel block (bfOffBits up
// to bfSize). Pixels and compression schemes are never interpreted. A file whose bfOffBits is
// below 54 has its palette size taken from the bit depth instead and its pixels right after it.
//
// This layer neither prints nor opens files: it parses from an InputSource and serialises into
// bytes, and every outcome is an ImageStatus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/byte_buffer.h"
#include "image/image_status.h"
#include "image/info_header.h"
#include "io/input_source.h"

namespace cbmp {

inline constexpr std::uint16_t kBmpSignature = 0x4D42;  // "BM"
inline constexpr std::uint32_t kBmpFileHeaderSize = 14;
inline constexpr std::uint32_t kBmpInfoHeaderSize = kInfoHeaderSize;
inline constexpr std::uint32_t kBmpHeadersSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;  // 54

struct BmpImage {
    std::uint16_t bfType = 0;
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0;
    std::uint16_t bfReserved2 = 0;
    std::uint32_t bfOffBits = 0;
    InfoHeader info;

    // The colour-table bytes followed by the pixel bytes, in one block: it is the payload that a
    // CBMP file compresses, so it is compressed where it lies. Either owned (`payload`) or, for
    // an image parsed from memory, the caller's own bytes (`borrowed`), which must outlive it.
    ByteBuffer payload;
    const std::uint8_t* borrowed = nullptr;
    std::uint32_t paletteSize = 0;
    std::uint32_t pixelSize = 0;

    const std::uint8_t* PayloadBytes() const { return payload ? payload.get() : borrowed; }
    std::uint32_t PayloadSize() const { return paletteSize + pixelSize; }
};

// A new zero-filled record, or null when memory is exhausted.
BmpImage* CreateBmpImage();

// Releases the record and its buffer; null is ignored.
void FreeBmpImage(BmpImage* image);

struct BmpImageDeleter {
    void operator()(BmpImage* image) const { FreeBmpImage(image); }
};
using BmpImagePtr = std::unique_ptr<BmpImage, BmpImageDeleter>;

// Parses a whole BMP file from `in` into the zero-filled `image`. A memory source is not copied:
// the image borrows its bytes. On failure `image` holds no buffer. Fails with kNotBmp,
// kColorTableShort, kPixelDataShort, kPixelOffsetBeyondSize, kBmpTooLarge or kNoMemory.
ImageStatus ReadBmp(InputSource& in, BmpImage& image);

// The 54 header bytes that WriteBmp-style output starts with: bfSize and bfOffBits recomputed
// from the block sizes, so the pixels always follow the colour-table block directly.
void EncodeBmpHeaders(const BmpImage& image, std::uint8_t* bytes);

}  // namespace cbmp
