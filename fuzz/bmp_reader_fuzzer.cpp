// The BMP reader on whole files. A file it accepts must be taken apart as the layout rules say:
// the colour-table block and the pixel block are the file's own bytes from offset 54 on, with the
// sizes its header gives, and nothing is read past the end. The record must then go through a
// CBMP file held in memory and come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/lz_compress.h"
#include "fuzz/fuzz_support.h"
#include "image/bmp_image.h"
#include "image/cbmp_file.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    cbmp::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace cbmp;
    const BmpImagePtr image(CreateBmpImage());
    CBMP_FUZZ_CHECK(image != nullptr);
    InputSource source = MemorySource(data, size);
    if (ReadBmp(source, *image) != ImageStatus::kOk) {
        CBMP_FUZZ_CHECK(image->PayloadBytes() == nullptr);
        return 0;
    }
    CBMP_FUZZ_CHECK(size >= kBmpHeadersSize);
    CBMP_FUZZ_CHECK(data[0] == 'B' && data[1] == 'M');
    const std::uint32_t bfSize = fuzz::LoadU32(data + 2);
    const std::uint32_t bfOffBits = fuzz::LoadU32(data + 10);
    CBMP_FUZZ_CHECK(image->bfSize == bfSize && image->bfOffBits == bfOffBits);
    CBMP_FUZZ_CHECK(bfOffBits <= bfSize);
    CBMP_FUZZ_CHECK(image->pixelSize == bfSize - bfOffBits);
    if (bfOffBits >= kBmpHeadersSize) {
        CBMP_FUZZ_CHECK(image->paletteSize == bfOffBits - kBmpHeadersSize);
    } else {
        const std::uint32_t bits = image->info.biBitCount;
        const std::uint32_t entries =
            bits > 8 ? 0 : (image->info.biClrUsed != 0 ? image->info.biClrUsed : 1u << bits);
        CBMP_FUZZ_CHECK(image->paletteSize == entries * 4);
    }
    const std::uint64_t total = std::uint64_t{image->paletteSize} + image->pixelSize;
    CBMP_FUZZ_CHECK(kBmpHeadersSize + total <= size);
    const auto length = static_cast<std::size_t>(total);
    CBMP_FUZZ_CHECK(image->PayloadBytes() != nullptr);
    CBMP_FUZZ_CHECK(length == 0 ||
                    std::memcmp(image->PayloadBytes(), data + kBmpHeadersSize, length) == 0);
    std::uint8_t info[kBmpInfoHeaderSize];
    EncodeInfoHeader(image->info, info);
    CBMP_FUZZ_CHECK(std::memcmp(info, data + kBmpFileHeaderSize, sizeof info) == 0);

    // Through a CBMP file in memory and back.
    const auto originalSize = static_cast<std::uint32_t>(total);
    std::uint32_t streamSize = 0;
    const ByteBuffer stream = LzCompress(image->PayloadBytes(), originalSize, streamSize);
    CBMP_FUZZ_CHECK(stream != nullptr);
    CbmpHeader header;
    header.magic = kCbmpMagic;
    header.version = kCbmpVersion;
    header.compressedSize = streamSize;
    header.originalSize = originalSize;
    header.paletteSize = image->paletteSize;
    fuzz::Bytes file(kCbmpHeaderSize + streamSize);
    EncodeCbmpHeader(header, file.data());
    std::memcpy(file.data() + 8, info, sizeof info);  // bytes 8 to 47: the info header
    std::memcpy(file.data() + kCbmpHeaderSize, stream.get(), streamSize);

    InputSource cbmpSource = MemorySource(file.data(), file.size());
    CbmpHeader readHeader;
    CbmpStream readStream;
    BmpFileBuffer back;
    CBMP_FUZZ_CHECK(ReadCbmpHeader(cbmpSource, readHeader) == ImageStatus::kOk);
    CBMP_FUZZ_CHECK(ReadCbmpStream(cbmpSource, readHeader, readStream) == ImageStatus::kOk);
    CBMP_FUZZ_CHECK(DecodeCbmp(readHeader, readStream.bytes, back, nullptr) == ImageStatus::kOk);
    CBMP_FUZZ_CHECK(back.size == kBmpHeadersSize + total);
    CBMP_FUZZ_CHECK(fuzz::LoadU32(back.bytes.get() + 10) == kBmpHeadersSize + image->paletteSize);
    CBMP_FUZZ_CHECK(std::memcmp(info, back.bytes.get() + kBmpFileHeaderSize, sizeof info) == 0);
    CBMP_FUZZ_CHECK(length == 0 || std::memcmp(back.bytes.get() + kBmpHeadersSize,
                                               image->PayloadBytes(), length) == 0);
    return 0;
}
