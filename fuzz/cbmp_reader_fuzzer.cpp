// The CBMP reader on whole files. A file it accepts must hold a complete header and a stream of
// the stated size that decodes, by the plain decoder, to the stated original size; the record
// must carry the header's info fields and split the payload at the palette size. A file it
// refuses must leave the record without a buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

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
    CbmpHeader header;
    CbmpStream stream;
    ImageStatus status = ReadCbmpHeader(source, header);
    if (status == ImageStatus::kOk) {
        status = ReadCbmpStream(source, header, stream);
    }
    if (status == ImageStatus::kOk) {
        status = DecodeCbmp(header, stream.bytes, *image, nullptr);
    }
    if (status != ImageStatus::kOk) {
        CBMP_FUZZ_CHECK(image->payload == nullptr);
        return 0;
    }
    CBMP_FUZZ_CHECK(size >= kCbmpHeaderSize);
    CBMP_FUZZ_CHECK(std::memcmp(data, "CBMP", 4) == 0 && fuzz::LoadU32(data + 4) == 1);
    const std::uint32_t compressedSize = fuzz::LoadU32(data + 48);
    const std::uint32_t originalSize = fuzz::LoadU32(data + 52);
    const std::uint32_t paletteSize = fuzz::LoadU32(data + 56);
    CBMP_FUZZ_CHECK(compressedSize <= size - kCbmpHeaderSize);
    CBMP_FUZZ_CHECK(paletteSize <= originalSize);

    const auto expected = fuzz::PlainDecode(data + kCbmpHeaderSize, compressedSize, originalSize);
    CBMP_FUZZ_CHECK(expected.has_value());
    CBMP_FUZZ_CHECK(image->payload != nullptr);
    CBMP_FUZZ_CHECK(originalSize == 0 ||
                    std::memcmp(image->payload.get(), expected->data(), originalSize) == 0);
    CBMP_FUZZ_CHECK(image->paletteSize == paletteSize);
    CBMP_FUZZ_CHECK(image->pixelSize == originalSize - paletteSize);
    CBMP_FUZZ_CHECK(image->bfType == kBmpSignature);
    CBMP_FUZZ_CHECK(image->bfOffBits == paletteSize + kBmpHeadersSize);
    CBMP_FUZZ_CHECK(image->bfSize == originalSize + kBmpHeadersSize);
    std::uint8_t info[kBmpInfoHeaderSize];
    EncodeInfoHeader(image->info, info);
    CBMP_FUZZ_CHECK(std::memcmp(info, data + 8, sizeof info) == 0);
    return 0;
}
