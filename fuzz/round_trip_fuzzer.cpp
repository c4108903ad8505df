// Any payload through the encoder and back. The stream must be the reference encoder's byte for
// byte, with every candidate scan this processor runs; it must decode to the payload, and to its
// first bytes when a smaller size is declared; a stream limit refuses exactly the streams that
// exceed it. On small payloads each scan must also find the reference's match at every position
// from head entries the encoder itself would not give (all 128 candidates just behind the
// position, or a range further back), so that every lane of the scan meets the input's bytes.
//
// Input: a control byte, then the payload. With bit 0 of the control byte set, the next two bytes
// give a length (0 to 70,000 bytes: 256 * byte 1 + byte 2, scaled), byte 3 varies the
// shorter size and the stream limit below, and the bytes after it are repeated up to that
// length, so that short inputs still reach past the 32 KiB window and the 64 KiB progress step.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/lz_compress.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_decompress.h"
#include "codec/lz_format.h"
#include "fuzz/fuzz_support.h"
#include "tests/reference/reference_lz_compress.h"

namespace {

constexpr std::size_t kMaxTiled = 70000;

cbmp::fuzz::Bytes MakePayload(const std::uint8_t* data, std::size_t size, std::uint32_t& limit) {
    limit = 0;
    if (size == 0) {
        return {};
    }
    const std::uint8_t control = data[0];
    if ((control & 1) == 0 || size < 5) {
        return cbmp::fuzz::Bytes(data + 1, data + size);
    }
    const std::size_t length = (std::size_t{data[1]} << 8 | data[2]) * kMaxTiled / 0xFFFF;
    limit = data[3];
    const std::uint8_t* seed = data + 4;
    const std::size_t seedSize = size - 4;
    cbmp::fuzz::Bytes payload(length);
    for (std::size_t i = 0; i < length; ++i) {
        payload[i] = seed[i % seedSize];
    }
    return payload;
}

// Every scan against the reference's search at each position of the payload, the head entry
// `back` + 1 bytes behind it (`back` picked by the input, changing along the payload).
void CheckSearches(const cbmp::fuzz::Bytes& payload, std::uint32_t back) {
    using namespace cbmp;
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::vector<std::uint32_t> head(kHashSize, kNoPosition);
    for (std::uint32_t pos = 1; pos + kMinMatch <= n; ++pos) {
        const std::uint32_t behind = (back + pos / 64) % 160;
        const std::uint32_t entry = behind < pos ? pos - 1 - behind : 0;
        const std::uint16_t hash = reference::Hash3(&payload[pos], kMinMatch);
        head[hash] = entry;
        std::uint32_t refStart = 0;
        const std::uint32_t ref =
            reference::FindLongestMatch(payload.data(), pos, n, head.data(), refStart);
        head[hash] = kNoPosition;
        for (const MatchScan scan : {MatchScan::kPortable, MatchScan::kAvx2}) {
            if (!MatchScanAvailable(scan)) {
                continue;
            }
            std::uint32_t start = 0;
            const std::uint32_t length =
                FindLongestMatchWith(scan, payload.data(), pos, n, entry, start);
            CBMP_FUZZ_CHECK(length == ref);
            CBMP_FUZZ_CHECK(ref == 0 || start == refStart);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    cbmp::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace cbmp;
    std::uint32_t limitByte = 0;
    const fuzz::Bytes payload = MakePayload(data, size, limitByte);
    const auto n = static_cast<std::uint32_t>(payload.size());

    std::uint32_t refSize = 0;
    const ByteBuffer ref = reference::LzCompress(payload.data(), n, refSize);
    CBMP_FUZZ_CHECK(ref != nullptr);

    // Every scan, on one thread and on several with small segments (the thread count and the
    // segment size picked by the input), so that guesses are spliced in at many points.
    constexpr unsigned kThreads[] = {2, 3, 8};
    for (const MatchScan scan : {MatchScan::kPortable, MatchScan::kAvx2}) {
        if (!MatchScanAvailable(scan)) {
            continue;
        }
        for (const unsigned threads : {1u, kThreads[limitByte % 3]}) {
            LzCompressTesting testing;
            testing.scan = scan;
            testing.segmentBytes = 16384u << (limitByte / 3 % 2);
            std::uint32_t streamSize = 0;
            const ByteBuffer stream =
                LzCompressForTesting(payload.data(), n, streamSize, {threads}, testing);
            CBMP_FUZZ_CHECK(stream != nullptr);
            CBMP_FUZZ_CHECK(streamSize == refSize);
            for (std::uint32_t i = 0; i < refSize; ++i) {
                CBMP_FUZZ_CHECK(stream[i] == ref[i]);
            }
        }
    }

    // The public entry point (the widest scan) too, and the decoder on its stream.
    std::uint32_t streamSize = 0;
    const ByteBuffer stream = LzCompress(payload.data(), n, streamSize);
    CBMP_FUZZ_CHECK(stream != nullptr && streamSize == refSize);
    const ByteBuffer back = LzDecompress(stream.get(), streamSize, n);
    CBMP_FUZZ_CHECK(back != nullptr);
    for (std::uint32_t i = 0; i < n; ++i) {
        CBMP_FUZZ_CHECK(back[i] == payload[i]);
    }
    if (n > 0) {
        const std::uint32_t shorter = n - 1 - (limitByte % n);
        const ByteBuffer prefix = LzDecompress(stream.get(), streamSize, shorter);
        CBMP_FUZZ_CHECK(prefix != nullptr);
        for (std::uint32_t i = 0; i < shorter; ++i) {
            CBMP_FUZZ_CHECK(prefix[i] == payload[i]);
        }
    }

    // A stream limit around the real size: refused exactly when the stream is longer, and the
    // searches on their own. (Small payloads only: neither depends on the size, and every
    // encoding costs time.)
    if (n > 8192) {
        return 0;
    }
    CheckSearches(payload, limitByte);
    LzCompressTesting limited;
    limited.maxStreamBytes = refSize - 3 + limitByte % 7;  // refSize is at least 7
    std::uint32_t limitedSize = 0;
    const ByteBuffer capped = LzCompressForTesting(payload.data(), n, limitedSize, {1}, limited);
    CBMP_FUZZ_CHECK((capped != nullptr) == (refSize <= limited.maxStreamBytes));
    if (capped) {
        CBMP_FUZZ_CHECK(limitedSize == refSize);
        for (std::uint32_t i = 0; i < refSize; ++i) {
            CBMP_FUZZ_CHECK(capped[i] == ref[i]);
        }
    }
    return 0;
}
