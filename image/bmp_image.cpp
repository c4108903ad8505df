#include "image/bmp_image.h"

#include <cstdio>
#include <new>

#include "io/input_source.h"
#include "image/le_fields.h"

namespace cbmp {

namespace {

BmpImage* ReadBmp(InputSource& in) {
    BmpImagePtr image(CreateBmpImage());
    if (!image) {
        return nullptr;
    }
    std::uint8_t header[kBmpHeadersSize];
    if (ReadSource(in, header, sizeof header) != sizeof header ||
        ReadU16LE(header) != kBmpSignature) {
        std::fprintf(stderr, "Error: Not a valid BMP file\n");
        return nullptr;
    }
    image->bfType = ReadU16LE(header);
    image->bfSize = ReadU32LE(header + 2);
    image->bfReserved1 = ReadU16LE(header + 6);
    image->bfReserved2 = ReadU16LE(header + 8);
    image->bfOffBits = ReadU32LE(header + 10);
    DecodeInfoHeader(header + kBmpFileHeaderSize, *image);

    std::uint32_t paletteSize = 0;
    if (image->bfOffBits >= kBmpHeadersSize && image->bfOffBits <= image->bfSize) {
        paletteSize = image->bfOffBits - kBmpHeadersSize;
    } else if (image->biBitCount <= 8) {
        // No usable pixel offset: the palette size follows from the bit depth.
        const std::uint32_t entries =
            image->biClrUsed != 0 ? image->biClrUsed : std::uint32_t{1} << image->biBitCount;
        paletteSize = entries * 4;
    }
    const std::uint64_t remaining = RemainingBytes(in);
    if (remaining != kUnknownSize && paletteSize > remaining) {
        std::fprintf(stderr, "Error: Failed to read color table\n");
        return nullptr;
    }
    if (image->bfOffBits > image->bfSize) {
        return nullptr;
    }
    const std::uint32_t pixelSize = image->bfSize - image->bfOffBits;
    const std::uint64_t total = std::uint64_t{paletteSize} + pixelSize;
    if ((remaining != kUnknownSize && total > remaining) || total > 0xFFFFFFFFu) {
        std::fprintf(stderr, "Error: Failed to read pixel data\n");
        return nullptr;
    }

    BlockBuffer block;
    block.total = static_cast<std::uint32_t>(total);
    BlockStatus status = ReadBlock(in, block, 0, paletteSize);
    if (status == BlockStatus::kShort) {
        std::fprintf(stderr, "Error: Failed to read color table\n");
    }
    if (status != BlockStatus::kOk) {
        return nullptr;
    }
    status = ReadBlock(in, block, paletteSize, pixelSize);
    if (status == BlockStatus::kShort) {
        std::fprintf(stderr, "Error: Failed to read pixel data\n");
    }
    if (status != BlockStatus::kOk) {
        return nullptr;
    }
    image->payload = std::move(block.data);
    image->paletteSize = paletteSize;
    image->pixelSize = pixelSize;
    return image.release();
}

}  // namespace

BmpImage* CreateBmpImage() {
    return new (std::nothrow) BmpImage();
}

void FreeBmpImage(BmpImage* image) {
    delete image;
}

void EncodeInfoHeader(const BmpImage& image, std::uint8_t* bytes) {
    WriteInfoFields(image, bytes);
}

void DecodeInfoHeader(const std::uint8_t* bytes, BmpImage& image) {
    ReadInfoFields(bytes, image);
}

BmpImage* ReadBmpFile(const char* path) {
    std::FILE* file = OpenInputFile(path);
    if (file == nullptr) {
        std::fprintf(stderr, "Error: Cannot open file %s\n", path);
        return nullptr;
    }
    InputSource in = FileSource(file, path);
    BmpImage* image = ReadBmp(in);
    std::fclose(file);
    if (image != nullptr) {
        image->source = in.identity;
    }
    return image;
}

BmpImage* ReadBmpMemory(const std::uint8_t* data, std::size_t size) {
    InputSource in = MemorySource(data, size);
    return ReadBmp(in);
}

int WriteBmpFile(const char* path, const BmpImage* image, const TempFileObserver* observer) {
    if (image == nullptr) {
        return 0;
    }
    OutputFile out;
    const OpenStatus opened = out.Open(path, &image->source, observer);
    if (opened == OpenStatus::kSameAsInput) {
        std::fprintf(stderr, "Error: Output file is the input file\n");
        return 0;
    }
    if (opened != OpenStatus::kOpened) {
        std::fprintf(stderr, "Error: Cannot create file %s\n", path);
        return 0;
    }
    std::uint8_t header[kBmpHeadersSize];
    WriteU16LE(header, image->bfType);
    WriteU32LE(header + 2, image->pixelSize + image->paletteSize + kBmpHeadersSize);
    WriteU16LE(header + 6, image->bfReserved1);
    WriteU16LE(header + 8, image->bfReserved2);
    WriteU32LE(header + 10, image->paletteSize + kBmpHeadersSize);
    EncodeInfoHeader(*image, header + kBmpFileHeaderSize);

    const std::size_t payloadSize = std::size_t{image->paletteSize} + image->pixelSize;
    bool ok = out.Write(header, sizeof header);
    if (ok && payloadSize > 0) {
        ok = image->payload != nullptr && out.Write(image->payload.get(), payloadSize);
    }
    if (!ok || !out.Commit()) {
        out.Discard();
        std::fprintf(stderr, "Error: Cannot write file %s\n", path);
        return 0;
    }
    return 1;
}

}  // namespace cbmp
