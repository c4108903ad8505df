// The reference encoder: the straightforward transcription of the greedy LZ77 rules, with no
// speed tricks. The fast encoder in codec/ must give the same stream byte for byte.
#include "tests/reference/reference_lz_compress.h"

#include <algorithm>

#include "codec/lz_format.h"
#include "tests/reference/reference_bit_writer.h"

namespace cbmp::reference {

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
    if (pos + kMinMatch > size) {
        return 0;  // the last two bytes never start a match
    }
    std::int64_t cand = head[Hash3(data + pos, 3)];
    if (cand == kNoPosition) {
        return 0;
    }
    const std::int64_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
    const std::uint32_t limit = std::min(size - pos, kMaxMatch);
    std::uint32_t best = 0;
    // The candidates are the consecutive positions counted back from the head entry; only the
    // first is known to share the hash, the others are tried whatever their hash.
    for (std::uint32_t budget = kMaxCandidates; budget > 0 && cand >= 0 && cand < pos; --budget) {
        if (cand >= windowStart) {
            const auto c = static_cast<std::uint32_t>(cand);
            std::uint32_t k = 0;
            while (k < limit && data[c + k] == data[pos + k]) {
                ++k;
            }
            if (k >= kMinMatch && k > best) {  // strictly longer: the nearest of equals stays
                best = k;
                matchPos = c;
                if (k > kGoodEnoughMatch) {
                    break;
                }
            }
        }
        --cand;
    }
    return best;
}

ByteBuffer LzCompressWithLimit(const std::uint8_t* data, std::uint32_t size,
                               std::uint32_t& streamSize, std::uint32_t maxStreamBytes,
                               const LzProgress* progress) {
    BitWriter writer;
    if (!writer.Create(maxStreamBytes)) {
        return nullptr;
    }
    const std::unique_ptr<std::uint32_t[]> head(new (std::nothrow) std::uint32_t[kHashSize]);
    if (!head) {
        return nullptr;
    }
    std::fill_n(head.get(), kHashSize, kNoPosition);

    Report(progress, LzEvent::kStart, 0, size);
    bool ok = writer.Put(size, kLengthFieldBits);
    std::uint32_t pos = 0;
    while (ok && pos < size) {
        if (pos % 65536 == 0) {
            Report(progress, LzEvent::kStep, pos, size);
        }
        std::uint32_t matchPos = 0;
        const std::uint32_t len = FindLongestMatch(data, pos, size, head.get(), matchPos);
        if (pos + kMinMatch <= size) {
            head[Hash3(data + pos, 3)] = pos;  // after the search: it never sees pos itself
        }
        if (len >= kMinMatch && pos - matchPos >= kMinDistance) {
            const std::uint32_t distance = pos - matchPos;
            ok = writer.Put(1, 1) && writer.Put(distance - 1, kDistanceFieldBits) &&
                 writer.Put(len - kMinMatch, kLengthCodeBits);
            pos += len;
        } else {
            ok = writer.Put(0, 1) && writer.Put(data[pos], 8);
            pos += 1;
        }
    }
    if (!ok) {
        return nullptr;
    }
    Report(progress, LzEvent::kEnd, size, size);
    if (!writer.Put(kEndMarker, kEndMarkerBits)) {
        return nullptr;
    }
    ByteBuffer result = AllocateBytes(writer.byteLength);
    if (!result) {
        return nullptr;
    }
    std::copy_n(writer.buffer.get(), writer.byteLength, result.get());
    streamSize = writer.byteLength;
    return result;
}

ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress) {
    return LzCompressWithLimit(data, size, streamSize, 0xFFFFFFFFu, progress);
}

}  // namespace cbmp::reference
