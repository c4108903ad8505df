// The decoder on arbitrary streams: the first four bytes are the declared size (as a CBMP header
// gives it), the rest is the stream. The result must be exactly what the plain bit-by-bit decoder
// gives, a buffer or a refusal, with either way of unpacking literals, into a buffer of its own
// or one the caller gives, or handed to a sink chunk by chunk from a window that slides (a
// chunk size taken from the input, down to a few bytes); whatever decodes must survive encoding
// and decoding again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"
#include "codec/lz_format.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    cbmp::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace cbmp;
    if (size < 4 || size > 0xFFFFFFFFu) {
        return 0;
    }
    const std::uint32_t declared = fuzz::LoadU32(data);
    const std::uint8_t* stream = data + 4;
    const auto streamSize = static_cast<std::uint32_t>(size - 4);

    const ByteBuffer out = LzDecompress(stream, streamSize, declared);
    const auto expected = fuzz::PlainDecode(stream, streamSize, declared);
    CBMP_FUZZ_CHECK((out != nullptr) == expected.has_value());
    if (declared <= MaxDecodedSize(streamSize)) {
        // The portable gather, into a caller's buffer with guard bytes around it and its slack.
        constexpr std::uint8_t kGuard = 0x5A;
        std::vector<std::uint8_t> given(std::size_t{declared} + kDecodeSlack + 2, kGuard);
        const bool ok = LzDecompressIntoWith(stream, streamSize, given.data() + 1, declared,
                                             nullptr, LiteralGather::kPortable);
        CBMP_FUZZ_CHECK(ok == expected.has_value());
        CBMP_FUZZ_CHECK(given.front() == kGuard && given.back() == kGuard);
        for (std::uint32_t i = 0; ok && i < declared; ++i) {
            CBMP_FUZZ_CHECK(given[i + 1] == (*expected)[i]);
        }
    }
    if (declared <= MaxDecodedSize(streamSize)) {
        // Into a sink: the same bytes in order, or the same refusal, whatever the chunk size.
        struct Collected {
            std::vector<std::uint8_t> bytes;
            static bool Take(void* context, const std::uint8_t* b, std::size_t n) {
                auto& bytes = static_cast<Collected*>(context)->bytes;
                bytes.insert(bytes.end(), b, b + n);
                return true;
            }
        } collected;
        const std::uint32_t chunk = 1 + (streamSize > 0 ? stream[0] * 37u : 0u);
        const LzDecodeResult result = LzDecompressToWith(stream, streamSize, declared, nullptr,
                                                         LzSink{&Collected::Take, &collected},
                                                         chunk, LiteralGather::kPortable);
        CBMP_FUZZ_CHECK((result == LzDecodeResult::kOk) == expected.has_value());
        CBMP_FUZZ_CHECK(result == LzDecodeResult::kOk || result == LzDecodeResult::kCorrupt);
        CBMP_FUZZ_CHECK(result != LzDecodeResult::kOk || collected.bytes == *expected);
    }
    if (!out) {
        return 0;
    }
    for (std::uint32_t i = 0; i < declared; ++i) {
        CBMP_FUZZ_CHECK(out[i] == (*expected)[i]);
    }

    std::uint32_t again = 0;
    const ByteBuffer restream = LzCompress(out.get(), declared, again);
    CBMP_FUZZ_CHECK(restream != nullptr);
    CBMP_FUZZ_CHECK(fuzz::LoadU32(restream.get()) == declared);
    const ByteBuffer back = LzDecompress(restream.get(), again, declared);
    CBMP_FUZZ_CHECK(back != nullptr);
    for (std::uint32_t i = 0; i < declared; ++i) {
        CBMP_FUZZ_CHECK(back[i] == out[i]);
    }
    return 0;
}
