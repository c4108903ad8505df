#include "image/bmp_image.h"

#include <new>

#include "image/le_fields.h"

namespace cbmp {

BmpImage* CreateBmpImage() {
    return new (std::nothrow) BmpImage();
}

void FreeBmpImage(BmpImage* image) {
    delete image;
}

ImageStatus ReadBmp(InputSource& in, BmpImage& image) {
    std::uint8_t header[kBmpHeadersSize];
    if (ReadSource(in, header, sizeof header) != sizeof header ||
        ReadU16LE(header) != kBmpSignature) {
        return ImageStatus::kNotBmp;
    }
    image.bfType = ReadU16LE(header);
    image.bfSize = ReadU32LE(header + 2);
    image.bfReserved1 = ReadU16LE(header + 6);
    image.bfReserved2 = ReadU16LE(header + 8);
    image.bfOffBits = ReadU32LE(header + 10);
    image.info = DecodeInfoHeader(header + kBmpFileHeaderSize);

    std::uint32_t paletteSize = 0;
    if (image.bfOffBits >= kBmpHeadersSize && image.bfOffBits <= image.bfSize) {
        paletteSize = image.bfOffBits - kBmpHeadersSize;
    } else if (image.info.biBitCount <= 8) {
        // No usable pixel offset: the palette size follows from the bit depth.
        const std::uint32_t entries = image.info.biClrUsed != 0
                                          ? image.info.biClrUsed
                                          : std::uint32_t{1} << image.info.biBitCount;
        paletteSize = entries * 4;
    }
    const std::uint64_t remaining = RemainingBytes(in);
    if (remaining != kUnknownSize && paletteSize > remaining) {
        return ImageStatus::kColorTableShort;
    }
    if (image.bfOffBits > image.bfSize) {
        return ImageStatus::kPixelOffsetBeyondSize;
    }
    const std::uint32_t pixelSize = image.bfSize - image.bfOffBits;
    const std::uint64_t total = std::uint64_t{paletteSize} + pixelSize;
    if (remaining != kUnknownSize && total > remaining) {
        return ImageStatus::kPixelDataShort;
    }
    if (total > 0xFFFFFFFFu) {
        return ImageStatus::kBmpTooLarge;
    }

    if (in.file == nullptr) {
        // Memory: the bytes are all there (checked above) and stay where they are.
        image.borrowed = in.data + in.position;
        in.position += total;
    } else {
        BlockBuffer block;
        block.total = static_cast<std::uint32_t>(total);
        BlockStatus status = ReadBlock(in, block, 0, paletteSize);
        if (status == BlockStatus::kShort) {
            return ImageStatus::kColorTableShort;
        }
        if (status == BlockStatus::kOk) {
            status = ReadBlock(in, block, paletteSize, pixelSize);
            if (status == BlockStatus::kShort) {
                return ImageStatus::kPixelDataShort;
            }
        }
        if (status != BlockStatus::kOk) {
            return ImageStatus::kNoMemory;
        }
        image.payload = std::move(block.data);
    }
    image.paletteSize = paletteSize;
    image.pixelSize = pixelSize;
    return ImageStatus::kOk;
}

void EncodeBmpHeaders(const BmpImage& image, std::uint8_t* bytes) {
    WriteU16LE(bytes, image.bfType);
    WriteU32LE(bytes + 2, image.pixelSize + image.paletteSize + kBmpHeadersSize);
    WriteU16LE(bytes + 6, image.bfReserved1);
    WriteU16LE(bytes + 8, image.bfReserved2);
    WriteU32LE(bytes + 10, image.paletteSize + kBmpHeadersSize);
    EncodeInfoHeader(image.info, bytes + kBmpFileHeaderSize);
}

}  // namespace cbmp
