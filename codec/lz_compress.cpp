#include "codec/lz_compress.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "codec/bit_writer.h"
#include "codec/lz_format.h"

namespace cbmp {

namespace {

inline std::uint32_t HashAt(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} * 1089 + std::uint32_t{p[1]} * 33 + p[2]) & (kHashSize - 1);
}

void PrintProgress(std::uint32_t pos, std::uint32_t size) {
    std::printf("  Progress: %u/%u (%.1f%%)\r", pos, size, pos * 100.0 / size);
    std::fflush(stdout);
}

// The token loop. Writes every token of `data` into `writer`; false when the writer fails.
template <MatchScan kScan>
bool EncodeTokens(const std::uint8_t* data, std::uint32_t size, std::uint32_t* head,
                  BitWriter& writer) {
    std::uint32_t pos = 0;
    while (pos < size) {
        if (pos % 65536 == 0) {
            PrintProgress(pos, size);
        }
        std::uint32_t len = 0;
        std::uint32_t matchPos = 0;
        if (size - pos >= kMinMatch) {
            std::uint32_t& slot = head[HashAt(data + pos)];
            len = FindLongestMatchWith<kScan>(data, pos, size, slot, matchPos);
            slot = pos;  // after the search, so that it never sees pos itself
        }
        // A best match at distance 1 has no encoding: the position becomes a literal.
        if (len >= kMinMatch && pos - matchPos >= kMinDistance) {
            const std::uint32_t token =
                1u | (pos - matchPos - 1) << 1 | (len - kMinMatch) << (1 + kDistanceFieldBits);
            if (!writer.Put(token, kMatchBits)) {
                return false;
            }
            pos += len;
        } else {
            if (!writer.Put(std::uint32_t{data[pos]} << 1, kLiteralBits)) {
                return false;
            }
            pos += 1;
        }
    }
    return true;
}

}  // namespace

std::uint16_t Hash3(const std::uint8_t* bytes, std::uint32_t n) {
    std::uint32_t h = 0;
    const std::uint32_t count = std::min<std::uint32_t>(n, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        h = h * 33 + bytes[i];
    }
    return static_cast<std::uint16_t>(h);
}

std::uint32_t FindLongestMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                               const std::uint32_t* head, std::uint32_t& matchPos) {
    if (std::uint64_t{pos} + kMinMatch > size) {
        return 0;
    }
    return FindLongestMatchWith<kBestMatchScan>(data, pos, size, head[HashAt(data + pos)],
                                                matchPos);
}

ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options) {
    // Reserve the largest stream this input can give, when it fits, so that the writer never
    // grows and never copies; a larger one is still written if the actual stream fits.
    const std::uint64_t worstCase = WorstCaseStreamSize(size);
    BitWriter writer;
    if (!writer.Create(static_cast<std::uint32_t>(std::min<std::uint64_t>(worstCase, 0xFFFFFFFFu)),
                       options.maxStreamBytes)) {
        return nullptr;
    }
    const std::unique_ptr<std::uint32_t[]> head(new (std::nothrow) std::uint32_t[kHashSize]);
    if (!head) {
        return nullptr;
    }
    std::fill_n(head.get(), kHashSize, kNoPosition);

    std::printf("Compressing %u bytes...\n", size);
    if (!writer.Put(size, kLengthFieldBits)) {
        return nullptr;
    }
    bool ok = false;
#if CBMP_HAVE_SSE2
    if (options.scan == MatchScan::kSse2) {
        ok = EncodeTokens<MatchScan::kSse2>(data, size, head.get(), writer);
    } else {
        ok = EncodeTokens<MatchScan::kPortable>(data, size, head.get(), writer);
    }
#else
    ok = EncodeTokens<MatchScan::kPortable>(data, size, head.get(), writer);
#endif
    if (!ok) {
        return nullptr;
    }
    std::printf("  Progress: %u/%u (100.0%%)\n", size, size);
    if (!writer.Put(kEndMarker, kEndMarkerBits) || !writer.Finish()) {
        return nullptr;
    }
    streamSize = writer.length();
    return writer.Release();
}

ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize) {
    return LzCompressWith(data, size, streamSize, LzCompressOptions{});
}

}  // namespace cbmp
