// The CBMP reader on whole files. A file it accepts must hold a complete header and a stream of
// the stated size that decodes, by the plain decoder, to the stated original size; the record
// must be a BMP file with the header's info fields and its pixel offset at the palette size. A
// file it refuses must leave no buffer behind.
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
    InputSource source = MemorySource(data, size);
    CbmpHeader header;
    CbmpStream stream;
    ImageStatus status = ReadCbmpHeader(source, header);
    if (status == ImageStatus::kOk) {
        status = ReadCbmpStream(source, header, stream);
    }
    BmpFileBuffer bmp;
    if (status == ImageStatus::kOk) {
        status = DecodeCbmp(header, stream.bytes, bmp, nullptr);
    }
    if (status != ImageStatus::kOk) {
        CBMP_FUZZ_CHECK(bmp.bytes == nullptr);
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
    CBMP_FUZZ_CHECK(bmp.bytes != nullptr);
    CBMP_FUZZ_CHECK(bmp.size == std::size_t{kBmpHeadersSize} + originalSize);
    const std::uint8_t* file = bmp.bytes.get();
    CBMP_FUZZ_CHECK(originalSize == 0 ||
                    std::memcmp(file + kBmpHeadersSize, expected->data(), originalSize) == 0);
    CBMP_FUZZ_CHECK(file[0] == 'B' && file[1] == 'M');
    CBMP_FUZZ_CHECK(fuzz::LoadU32(file + 2) == originalSize + kBmpHeadersSize);
    CBMP_FUZZ_CHECK(fuzz::LoadU32(file + 6) == 0);  // both reserved words
    CBMP_FUZZ_CHECK(fuzz::LoadU32(file + 10) == paletteSize + kBmpHeadersSize);
    CBMP_FUZZ_CHECK(std::memcmp(file + kBmpFileHeaderSize, data + 8, kBmpInfoHeaderSize) == 0);
    return 0;
}
