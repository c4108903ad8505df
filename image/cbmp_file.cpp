#include "image/cbmp_file.h"

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"
#include "codec/lz_format.h"
#include "image/le_fields.h"

namespace cbmp {

void EncodeCbmpHeader(const CbmpHeader& header, std::uint8_t* bytes) {
    WriteU32LE(bytes, header.magic);
    WriteU32LE(bytes + 4, header.version);
    EncodeInfoHeader(header.info, bytes + 8);
    WriteU32LE(bytes + 48, header.compressedSize);
    WriteU32LE(bytes + 52, header.originalSize);
    WriteU32LE(bytes + 56, header.paletteSize);
}

CbmpHeader DecodeCbmpHeader(const std::uint8_t* bytes) {
    CbmpHeader header;
    header.magic = ReadU32LE(bytes);
    header.version = ReadU32LE(bytes + 4);
    header.info = DecodeInfoHeader(bytes + 8);
    header.compressedSize = ReadU32LE(bytes + 48);
    header.originalSize = ReadU32LE(bytes + 52);
    header.paletteSize = ReadU32LE(bytes + 56);
    return header;
}

ImageStatus EncodeCbmp(const BmpImage& image, CbmpEncoding& encoding, const LzProgress* progress,
                       unsigned threads) {
    const std::uint64_t originalSize = std::uint64_t{image.paletteSize} + image.pixelSize;
    if (originalSize > 0xFFFFFFFFu) {
        return ImageStatus::kBmpTooLarge;
    }
    static constexpr std::uint8_t kNoBytes[1] = {0};
    const std::uint8_t* payload = image.PayloadBytes();
    if (payload == nullptr) {
        if (originalSize > 0) {
            return ImageStatus::kNoMemory;  // a record that never got its bytes
        }
        payload = kNoBytes;
    }
    std::uint32_t streamSize = 0;
    LzCompressOptions options;
    options.threads = threads;
    options.progress = progress;
    ByteBuffer stream =
        LzCompressWith(payload, static_cast<std::uint32_t>(originalSize), streamSize, options);
    if (!stream) {
        return ImageStatus::kNoMemory;
    }
    encoding.header = CbmpHeader{};
    encoding.header.magic = kCbmpMagic;
    encoding.header.version = kCbmpVersion;
    encoding.header.info = image.info;
    encoding.header.compressedSize = streamSize;
    encoding.header.originalSize = static_cast<std::uint32_t>(originalSize);
    encoding.header.paletteSize = image.paletteSize;
    encoding.stream = std::move(stream);
    return ImageStatus::kOk;
}

ImageStatus ReadCbmpHeader(InputSource& in, CbmpHeader& header) {
    std::uint8_t bytes[kCbmpHeaderSize];
    if (ReadSource(in, bytes, 4) != 4 || ReadU32LE(bytes) != kCbmpMagic) {
        return ImageStatus::kNotCbmp;
    }
    if (ReadSource(in, bytes + 4, 4) != 4) {
        return ImageStatus::kNotCbmp;
    }
    if (ReadU32LE(bytes + 4) != kCbmpVersion) {
        return ImageStatus::kUnsupportedVersion;
    }
    if (ReadSource(in, bytes + 8, kCbmpHeaderSize - 8) != kCbmpHeaderSize - 8) {
        return ImageStatus::kNotCbmp;
    }
    header = DecodeCbmpHeader(bytes);
    return ImageStatus::kOk;
}

ImageStatus CheckCbmpSizes(const CbmpHeader& header) {
    if (header.paletteSize > header.originalSize) {
        return ImageStatus::kPaletteBeyondOriginal;
    }
    // The payload and the 54 header bytes must fit the BMP file header's 32-bit size field.
    if (header.originalSize > 0xFFFFFFFFu - kBmpHeadersSize) {
        return ImageStatus::kCbmpTooLarge;
    }
    return ImageStatus::kOk;
}

ImageStatus ReadCbmpStream(InputSource& in, const CbmpHeader& header, CbmpStream& stream) {
    const std::uint64_t remaining = RemainingBytes(in);
    if (remaining != kUnknownSize && header.compressedSize > remaining) {
        return ImageStatus::kCompressedDataShort;
    }
    if (in.file == nullptr) {
        stream.bytes = in.data + in.position;
        in.position += header.compressedSize;
        return ImageStatus::kOk;
    }
    BlockBuffer block;
    block.total = header.compressedSize;
    const BlockStatus status = ReadBlock(in, block, 0, header.compressedSize);
    if (status == BlockStatus::kShort) {
        return ImageStatus::kCompressedDataShort;
    }
    if (status != BlockStatus::kOk) {
        return ImageStatus::kNoMemory;
    }
    stream.owned = std::move(block.data);
    stream.bytes = stream.owned.get();
    return ImageStatus::kOk;
}

ImageStatus DecodeCbmp(const CbmpHeader& header, const std::uint8_t* stream, BmpFileBuffer& bmp,
                       const LzProgress* progress) {
    if (const ImageStatus sizes = CheckCbmpSizes(header); sizes != ImageStatus::kOk) {
        return sizes;
    }
    // A stated size the stream cannot reach is refused before the output is allocated, so a
    // small hostile file cannot make the reader reserve gigabytes.
    if (header.compressedSize < 4 || header.originalSize > MaxDecodedSize(header.compressedSize)) {
        return ImageStatus::kCorruptStream;
    }
    const std::size_t size = std::size_t{kBmpHeadersSize} + header.originalSize;
    ByteBuffer bytes = AllocateBytes(size + kDecodeSlack);
    if (!bytes) {
        return ImageStatus::kDecodeNoMemory;
    }
    if (!LzDecompressInto(stream, header.compressedSize, bytes.get() + kBmpHeadersSize,
                          header.originalSize, progress)) {
        return ImageStatus::kCorruptStream;
    }
    BmpImage image;
    image.bfType = kBmpSignature;
    image.info = header.info;
    image.paletteSize = header.paletteSize;
    image.pixelSize = header.originalSize - header.paletteSize;
    EncodeBmpHeaders(image, bytes.get());
    bmp.bytes = std::move(bytes);
    bmp.size = size;
    return ImageStatus::kOk;
}

}  // namespace cbmp
