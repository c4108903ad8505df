#include "codec/lz_decompress.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/bit_reader.h"
#include "codec/cpu_features.h"
#include "codec/lz_format.h"

// On x86-64 with GCC or Clang the BMI2 gather is compiled through a function attribute and
// chosen at run time, so one binary runs on every x86-64 host.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CBMP_X86_GATHER 1
#else
#define CBMP_X86_GATHER 0
#endif

namespace cbmp {

bool LiteralGatherAvailable(LiteralGather gather) {
    switch (gather) {
        case LiteralGather::kPortable:
            return true;
        case LiteralGather::kBmi2:
#if CBMP_X86_GATHER
            return HostCpuFeatures().fastBmi2;
#else
            return false;
#endif
    }
    return false;
}

namespace {

// Copies may write up to 15 bytes past the end of a match, and literals up to 7 past the last
// (never past size + kDecodeSlack); later tokens overwrite them.
static_assert(kDecodeSlack >= 16);

// Whether a stream of `streamSize` bytes can be asked for `size` bytes at all.
bool Plausible(std::uint32_t streamSize, std::uint32_t size) {
    return streamSize >= 4 && size <= MaxDecodedSize(streamSize);
}

// out[pos, pos + length) = out[pos - distance, ...), byte for byte in effect, for distance >= 2;
// may also write up to 15 bytes after the match.
inline void CopyMatch(std::uint8_t* out, std::uint32_t pos, std::uint32_t distance,
                      std::uint32_t length) {
    std::uint8_t* dst = out + pos;
    if (distance >= 16) {
        const std::uint8_t* src = dst - distance;
        for (std::uint32_t i = 0; i < length; i += 16) {
            std::memcpy(dst + i, src + i, 16);  // src + i + 16 <= dst + i: already written
        }
        return;
    }
    if (distance >= 8) {
        const std::uint8_t* src = dst - distance;
        for (std::uint32_t i = 0; i < length; i += 8) {
            std::memcpy(dst + i, src + i, 8);
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

// Up to seven tokens are taken from one 64-bit window of the stream: its flag bits 0, 9, ..., 54
// tell how many of them, before the first match, are literals.
constexpr std::uint32_t kWideTokens = 7;
// Stream bits left for the fast path: two windows, one after the other.
constexpr std::uint64_t kFastBits = BitReader::kWideBits + 64;
constexpr std::uint64_t kWideFlags =
    1ULL | 1ULL << 9 | 1ULL << 18 | 1ULL << 27 | 1ULL << 36 | 1ULL << 45 | 1ULL << 54;

// The bytes of the seven 9-bit tokens at the bottom of `window`, packed into the low 7 bytes of
// the result (byte k in bits 8k to 8k + 7): right for the tokens that are literals, garbage from
// the first match on.
inline std::uint64_t GatherLiterals(std::uint64_t window) {
    constexpr std::uint64_t kByte = 0xFF;
    constexpr std::uint64_t kPair = 0xFFFF;
    std::uint64_t x = window >> 1;  // byte k at bit 9k, above it the next token's flag
    // Close the one-bit gaps in three steps: bytes 1, 3 and 5 move down a bit onto 0, 2 and 4;
    // the pairs at bits 18 and 54 move down 2; the upper half moves down 4.
    x = (x & (kByte | kByte << 18 | kByte << 36 | kByte << 54)) |
        (x & (kByte << 9 | kByte << 27 | kByte << 45)) >> 1;
    x = (x & (kPair | kPair << 36)) | (x & (kPair << 18 | kByte << 54)) >> 2;
    return (x & 0xFFFFFFFFULL) | (x >> 4 & 0xFFFFFFULL << 32);
}

#if CBMP_X86_GATHER
// The same in one instruction where BMI2 has it.
__attribute__((target("bmi2"))) inline std::uint64_t GatherLiteralsBmi2(std::uint64_t window) {
    return _pext_u64(window, ~kWideFlags & ((std::uint64_t{1} << 63) - 1));
}
#endif

template <LiteralGather kGather>
inline std::uint64_t Gather(std::uint64_t window) {
#if CBMP_X86_GATHER
    if constexpr (kGather == LiteralGather::kBmi2) {
        return GatherLiteralsBmi2(window);
    }
#endif
    return GatherLiterals(window);
}

// Writes the 8 bytes of `value` at `p`, least significant first.
inline void StoreLE64(std::uint8_t* p, std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap64(value);
    }
    std::memcpy(p, &value, sizeof value);
}

// Where the decoder puts the output: a buffer whose byte 0 is output position `base`. Tokens
// that start below `base + room` are decoded into it; one may run up to kMaxMatch - 1 bytes past
// that, and a copy up to 15 more (the buffer has room for both). With a sink, a full buffer is
// handed over and all but its last kWindowSize bytes dropped (the farthest a match reaches back);
// without one, `room` covers the whole output and the buffer is the caller's.
struct OutputWindow {
    std::uint8_t* buffer = nullptr;
    std::uint32_t base = 0;
    std::uint32_t room = 0;
    std::uint32_t handed = 0;  // buffer[0, handed) has gone to the sink
    const LzSink* sink = nullptr;
    bool sinkFailed = false;
};

// Hands buffer[handed, end) to the sink.
bool HandOver(OutputWindow& w, std::uint32_t end) {
    if (end > w.handed && !w.sink->write(w.sink->context, w.buffer + w.handed, end - w.handed)) {
        w.sinkFailed = true;
        return false;
    }
    w.handed = end;
    return true;
}

// Empties a full buffer: hands it over and keeps its last kWindowSize bytes at its start. `end`
// (the next output byte, local) is at least room >= kWindowSize.
bool Slide(OutputWindow& w, std::uint32_t end) {
    if (!HandOver(w, end)) {
        return false;
    }
    std::memmove(w.buffer, w.buffer + end - kWindowSize, kWindowSize);
    w.base += end - kWindowSize;
    w.handed = kWindowSize;
    return true;
}

// Decodes the tokens of output[0, size) into the window. Returns false for a corrupt stream or a
// sink that refused a chunk.
template <LiteralGather kGather>
bool DecodeTokens(BitReader& in, OutputWindow& w, std::uint32_t size, const LzProgress* progress) {
    std::uint32_t pos = 0;  // output position of the next token
    while (pos < size) {
        if (pos - w.base >= w.room && !Slide(w, pos - w.base)) {
            return false;
        }
        const std::uint32_t inBlock = pos % 65536;
        if (inBlock == 0) {
            Report(progress, LzEvent::kStep, pos, size);
        }
        // The tokens before the next multiple of 65,536 (one that starts there is reported
        // first) and before the buffer is full, in the buffer's own positions from here on.
        const std::uint32_t blockStop = size - pos > 65536 - inBlock ? pos - inBlock + 65536 : size;
        std::uint8_t* const out = w.buffer;
        const std::uint32_t base = w.base;
        const std::uint32_t end = size - base;  // the output's end
        const std::uint32_t stop = std::min(blockStop - base, w.room);
        std::uint32_t at = pos - base;
        while (at < stop) {
            std::uint64_t bits;  // a match token at bit 0, once the branches below are through
            if (in.Remaining() >= kFastBits && stop - at >= kWideTokens) {
                // The literals before the first match, at most seven, go in one store of 8 bytes
                // (those past them are overwritten later).
                bits = in.PeekWide();
                const std::uint64_t flags = bits & kWideFlags;
                StoreLE64(out + at, Gather<kGather>(bits));
                if (flags == 0) {
                    // Seven literals, as in noise: the next window's position is known at once.
                    at += kWideTokens;
                    in.Skip(kWideTokens * kLiteralBits);
                    continue;
                }
                // The flags sit at multiples of 9: the lowest one set is 9 times the literals.
                const auto used = static_cast<unsigned>(std::countr_zero(flags));
                at += used / kLiteralBits;
                // The match after them, from this window and the next: a load that waits for
                // nothing, where a fresh window at the match would wait for the count.
                const std::uint64_t next = in.PeekWide(64);
                in.Skip(used);
                bits = bits >> used | next << 1 << (63 - used);
            } else {
                // The last few tokens, where every read is checked against the stream's end.
                bits = in.Peek();
                if ((bits & 1) == 0) {
                    if (!in.Has(kLiteralBits)) {
                        return false;  // the stream ran out before its end marker
                    }
                    out[at++] = static_cast<std::uint8_t>(bits >> 1);
                    in.Skip(kLiteralBits);
                    continue;
                }
                const bool endMarker = (bits >> 1 & 0x7FFF) == 0;
                if (!in.Has(endMarker ? 1 + kDistanceFieldBits : kMatchBits)) {
                    return false;
                }
            }
            const auto distanceField = static_cast<std::uint32_t>(bits >> 1) & 0x7FFF;
            if (distanceField == 0) {
                return false;  // end marker before `size` bytes: the tail would be missing
            }
            const std::uint32_t distance = distanceField + 1;
            if (distance > base + at) {
                return false;  // reaches before the start of the output
            }
            // Within the buffer: a slid buffer keeps kWindowSize >= distance bytes before `at`.
            std::uint32_t length = (static_cast<std::uint32_t>(bits >> 16) & 0xFF) + kMinMatch;
            if (length > end - at) {
                length = end - at;  // a match running past `size` is cut there
            }
            in.Skip(kMatchBits);
            CopyMatch(out, at, distance, length);
            at += length;
        }
        pos = base + at;
    }
    return true;
}

#if CBMP_X86_GATHER
// The token loop compiled for BMI2, with everything it calls inlined ("flatten") so that the
// gather runs in code built for it, and only there.
__attribute__((target("bmi2"), flatten)) bool DecodeTokensBmi2(BitReader& in, OutputWindow& w,
                                                               std::uint32_t size,
                                                               const LzProgress* progress) {
    return DecodeTokens<LiteralGather::kBmi2>(in, w, size, progress);
}
#endif

bool DecodeTokensWith(LiteralGather gather, BitReader& in, OutputWindow& w, std::uint32_t size,
                      const LzProgress* progress) {
#if CBMP_X86_GATHER
    if (gather == LiteralGather::kBmi2 && LiteralGatherAvailable(gather)) {
        return DecodeTokensBmi2(in, w, size, progress);
    }
#else
    (void)gather;
#endif
    return DecodeTokens<LiteralGather::kPortable>(in, w, size, progress);
}

LiteralGather BestGather() {
    static const LiteralGather best = LiteralGatherAvailable(LiteralGather::kBmi2)
                                          ? LiteralGather::kBmi2
                                          : LiteralGather::kPortable;
    return best;
}

// Decodes `stream` into the window, reporting start and end around the tokens.
bool Decode(const std::uint8_t* stream, std::uint32_t streamSize, OutputWindow& w,
            std::uint32_t size, const LzProgress* progress, LiteralGather gather) {
    BitReader in(stream, streamSize);
    in.Skip(kLengthFieldBits);  // the caller's size is the one that counts

    Report(progress, LzEvent::kStart, 0, size);
    const bool ok = DecodeTokensWith(gather, in, w, size, progress);
    Report(progress, LzEvent::kEnd, size, size);
    return ok;
}

}  // namespace

bool LzDecompressIntoWith(const std::uint8_t* stream, std::uint32_t streamSize, std::uint8_t* out,
                          std::uint32_t size, const LzProgress* progress, LiteralGather gather) {
    if (!Plausible(streamSize, size)) {
        return false;
    }
    OutputWindow w;
    w.buffer = out;
    w.room = size;  // never full: the whole output fits
    return Decode(stream, streamSize, w, size, progress, gather);
}

bool LzDecompressInto(const std::uint8_t* stream, std::uint32_t streamSize, std::uint8_t* out,
                      std::uint32_t size, const LzProgress* progress) {
    return LzDecompressIntoWith(stream, streamSize, out, size, progress, BestGather());
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

LzDecodeResult LzDecompressToWith(const std::uint8_t* stream, std::uint32_t streamSize,
                                  std::uint32_t size, const LzProgress* progress,
                                  const LzSink& sink, std::uint32_t chunkBytes,
                                  LiteralGather gather) {
    if (!Plausible(streamSize, size)) {
        return LzDecodeResult::kCorrupt;
    }
    // A token starting in the last byte of the room may add a whole match and a copy's slack.
    const auto room = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(size, std::uint64_t{kWindowSize} + std::max(chunkBytes, 1u)));
    const ByteBuffer buffer = AllocateBytes(std::size_t{room} + kMaxMatch + kDecodeSlack);
    if (!buffer) {
        return LzDecodeResult::kNoMemory;
    }
    OutputWindow w;
    w.buffer = buffer.get();
    w.room = room;
    w.sink = &sink;
    const bool ok = Decode(stream, streamSize, w, size, progress, gather);
    if (ok && HandOver(w, size - w.base)) {
        return LzDecodeResult::kOk;
    }
    return w.sinkFailed ? LzDecodeResult::kSinkFailed : LzDecodeResult::kCorrupt;
}

LzDecodeResult LzDecompressTo(const std::uint8_t* stream, std::uint32_t streamSize,
                              std::uint32_t size, const LzProgress* progress, const LzSink& sink) {
    return LzDecompressToWith(stream, streamSize, size, progress, sink, kDecodeChunkBytes,
                              BestGather());
}

}  // namespace cbmp
