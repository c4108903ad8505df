#include "codec/lz_decompress.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec/bit_reader.h"
#include "codec/lz_format.h"

namespace cbmp {

namespace {

// Copies may write up to 7 bytes past the end of a match (never past size + kDecodeSlack); later
// tokens overwrite them.
static_assert(kDecodeSlack >= 8);

// Whether a stream of `streamSize` bytes can be asked for `size` bytes at all.
bool Plausible(std::uint32_t streamSize, std::uint32_t size) {
    return streamSize >= 4 && size <= MaxDecodedSize(streamSize);
}

// out[pos, pos + length) = out[pos - distance, ...), byte for byte in effect, for distance >= 2;
// may also write up to 7 bytes after the match.
inline void CopyMatch(std::uint8_t* out, std::uint32_t pos, std::uint32_t distance,
                      std::uint32_t length) {
    std::uint8_t* dst = out + pos;
    if (distance >= 8) {
        const std::uint8_t* src = dst - distance;
        for (std::uint32_t i = 0; i < length; i += 8) {
            std::memcpy(dst + i, src + i, 8);  // src + i + 8 <= dst + i: already written
        }
        return;
    }
    // A near match repeats a pattern of `distance` bytes. Lay down the first copies one byte at a
    // time until the pattern, repeated, reaches 8 bytes back; then copy 8 bytes at a time from a
    // distance that is a multiple of the period.
    const std::uint32_t period = distance * ((8 + distance - 1) / distance);
    const std::uint8_t* src = dst - distance;
    std::uint32_t i = 0;
    for (const std::uint32_t head = std::min(length, period - distance); i < head; ++i) {
        dst[i] = src[i];
    }
    for (; i < length; i += 8) {
        std::memcpy(dst + i, dst + i - period, 8);
    }
}

// A batch of literals decoded at once: six 9-bit literals fit the 57 bits a peek always holds.
constexpr std::uint32_t kBatch = 6;
constexpr unsigned kBatchBits = kBatch * kLiteralBits;
// The flag bits of the six tokens: all zero when all six are literals.
constexpr std::uint64_t kBatchFlags =
    1ULL | 1ULL << 9 | 1ULL << 18 | 1ULL << 27 | 1ULL << 36 | 1ULL << 45;

// Decodes the tokens into out[0, size). Returns false for a corrupt stream.
bool DecodeTokens(BitReader& in, std::uint8_t* out, std::uint32_t size,
                  const LzProgress* progress) {
    std::uint32_t pos = 0;
    while (pos < size) {
        const std::uint32_t inBlock = pos % 65536;
        if (inBlock == 0) {
            Report(progress, LzEvent::kStep, pos, size);
        } else if (inBlock <= 65536 - kBatch && size - pos >= kBatch && in.Has(kBatchBits)) {
            // Six literals in a row (no token of them starting a progress line) go in one step.
            const std::uint64_t window = in.Peek();
            if ((window & kBatchFlags) == 0) {
                for (std::uint32_t i = 0; i < kBatch; ++i) {
                    out[pos + i] = static_cast<std::uint8_t>(window >> (kLiteralBits * i + 1));
                }
                pos += kBatch;
                in.Skip(kBatchBits);
                continue;
            }
        }
        const std::uint64_t bits = in.Peek();
        if ((bits & 1) == 0) {
            if (!in.Has(kLiteralBits)) {
                return false;  // the stream ran out before its end marker
            }
            out[pos++] = static_cast<std::uint8_t>(bits >> 1);
            in.Skip(kLiteralBits);
            continue;
        }
        const auto distanceField = static_cast<std::uint32_t>(bits >> 1) & 0x7FFF;
        if (!in.Has(distanceField == 0 ? 1 + kDistanceFieldBits : kMatchBits)) {
            return false;
        }
        if (distanceField == 0) {
            return false;  // end marker before `size` bytes: the tail would be missing
        }
        const std::uint32_t distance = distanceField + 1;
        if (distance > pos) {
            return false;  // reaches before the start of the output
        }
        std::uint32_t length = (static_cast<std::uint32_t>(bits >> 16) & 0xFF) + kMinMatch;
        if (length > size - pos) {
            length = size - pos;  // a match running past `size` is cut there
        }
        in.Skip(kMatchBits);
        CopyMatch(out, pos, distance, length);
        pos += length;
    }
    return true;
}

}  // namespace

bool LzDecompressInto(const std::uint8_t* stream, std::uint32_t streamSize, std::uint8_t* out,
                      std::uint32_t size, const LzProgress* progress) {
    if (!Plausible(streamSize, size)) {
        return false;
    }
    BitReader in(stream, streamSize);
    in.Skip(kLengthFieldBits);  // the caller's size is the one that counts

    Report(progress, LzEvent::kStart, 0, size);
    const bool ok = DecodeTokens(in, out, size, progress);
    Report(progress, LzEvent::kEnd, size, size);
    return ok;
}

ByteBuffer LzDecompress(const std::uint8_t* stream, std::uint32_t streamSize, std::uint32_t size,
                        const LzProgress* progress) {
    // The output carries the slack after `size` bytes: on a 32-bit host that sum must not wrap.
    if (!Plausible(streamSize, size) || std::uint64_t{size} + kDecodeSlack > SIZE_MAX) {
        return nullptr;
    }
    ByteBuffer out = AllocateBytes(std::size_t{size} + kDecodeSlack);
    if (!out || !LzDecompressInto(stream, streamSize, out.get(), size, progress)) {
        return nullptr;
    }
    return out;
}

}  // namespace cbmp
