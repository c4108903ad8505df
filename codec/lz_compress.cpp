#include "codec/lz_compress.h"

#include <algorithm>
#include <memory>

#include "codec/bit_writer.h"
#include "codec/byte_order.h"
#include "codec/lz_format.h"

namespace cbmp {

namespace {

inline std::uint32_t HashAt(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} * 1089 + std::uint32_t{p[1]} * 33 + p[2]) & (kHashSize - 1);
}

// Hash3 of the three low bytes of `word` (b0 | b1 << 8 | b2 << 16): b0 * 1,089 + b1 * 33 + b2
// mod 65,536, where b0 * 1,089 + b2 comes from one multiplication of b0 | b2 << 16 (the
// product's upper half holds it; its lower half, b0, cannot carry into it).
inline std::uint32_t HashOfWord(std::uint32_t word) {
    const std::uint32_t outer = ((word & 0x00FF00FF) * (1089u << 16 | 1u)) >> 16;
    return (outer + ((word >> 8) & 0xFF) * 33) & (kHashSize - 1);
}

// The token loop. Writes every token of `data` into `writer`; false when the writer fails.
// Literals from pos on, as long as nothing in the window shares a position's first three bytes
// (the common case on photographs and noise), so that no search is needed: each such position
// is entered into the head table and the chains and written as a literal, exactly as the general
// loop would. Stops before `stop`, or at the first position that needs a search, and returns
// where it stopped. Everything lives in locals, out of reach of the stream's byte stores.
// Requires pos >= kWindowSize and stop + kPrefetchDistance + 4 <= size.
constexpr std::uint32_t kPrefetchDistance = 32;

// A match at least this long leaves its inside positions out of the chains.
constexpr std::uint32_t kLongMatch = 64;

// kShift is the chain hash's shift when known at compile time (the full-size table), else 0: a
// constant shift keeps the loop's state in registers.
template <unsigned kShift>
std::uint32_t EncodeLiteralRun(const std::uint8_t* data, std::uint32_t pos, std::uint32_t stop,
                               std::uint32_t* head, KeyChains& chains, BitWriter& writer) {
    std::uint32_t* const newestTable = chains.newest_table();
    std::uint32_t* const previousTable = chains.previous_table();
    const unsigned shift = kShift != 0 ? kShift : chains.shift();
    BitWriter::Open out = writer.OpenUp();
    // Each literal adds 9 bits: stay within the room the writer has, with a word to spare. The
    // room may be all but used up (even 0 bytes, with bits still in the accumulator).
    const std::uint64_t freeBits = std::uint64_t{out.room} * 8;
    const std::uint64_t fits =
        freeBits > out.accBits + 64 ? (freeBits - out.accBits - 64) / kLiteralBits : 0;
    stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(stop, pos + fits));
    for (; pos < stop; ++pos) {
        const std::uint32_t word = LoadLE32(data + pos);
        const std::uint32_t keyHash = ((word & 0xFFFFFF) * KeyChains::kMultiplier) >> shift;
        const std::uint32_t ahead = LoadLE32(data + pos + kPrefetchDistance) & 0xFFFFFF;
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&newestTable[(ahead * KeyChains::kMultiplier) >> shift]);
#else
        (void)ahead;
#endif
        const std::uint32_t newest = newestTable[keyHash];
        if (pos - newest - 1 < kWindowSize) {
            // The chain hash is shared by other bytes now and then. When the latest position
            // with it holds other bytes and the chain leaves the window right after it, nothing
            // in the window shares pos's bytes: still a literal, no search.
            const std::uint32_t before = previousTable[newest % KeyChains::kRing];
            if (((LoadLE32(data + newest) ^ word) & 0xFFFFFF) == 0 ||
                (before != kNoPosition && pos - before - 1 < kWindowSize)) {
                break;  // an earlier position in the window may match: search
            }
        }
        const std::uint32_t b0 = word & 0xFF;
        const std::uint32_t hash = HashOfWord(word);
        head[hash] = pos;
        previousTable[pos % KeyChains::kRing] = newest;
        newestTable[keyHash] = pos;
        out.acc |= std::uint64_t{b0} << (out.accBits + 1);
        out.accBits += kLiteralBits;
        if (out.accBits >= 32) {
            const auto bits = static_cast<std::uint32_t>(out.acc);
            out.next[0] = static_cast<std::uint8_t>(bits);
            out.next[1] = static_cast<std::uint8_t>(bits >> 8);
            out.next[2] = static_cast<std::uint8_t>(bits >> 16);
            out.next[3] = static_cast<std::uint8_t>(bits >> 24);
            out.next += 4;
            out.room -= 4;
            out.acc >>= 32;
            out.accBits -= 32;
        }
    }
    writer.Close(out);
    return pos;
}

template <MatchScan kScan>
bool EncodeTokens(const std::uint8_t* data, std::uint32_t size, std::uint32_t* head,
                  KeyChains& chains, BitWriter& writer, const LzProgress* progress) {
    std::uint32_t pos = 0;
    const std::uint32_t fastEnd = size > kPrefetchDistance + 4 ? size - kPrefetchDistance - 4 : 0;
    // The positions inside long matches are left out of the chains (see below). Until the window
    // has passed the last of them, the chains cannot prove that a position has no candidate, so
    // every position is searched by the scan instead; from `chainsWhole` on they can again.
    std::uint64_t chainsWhole = 0;
    while (pos < size) {
        const bool chained = pos >= chainsWhole;
        if (chained && pos >= kWindowSize && pos < fastEnd && pos % 65536 != 0) {
            // Up to the next progress line, which the general loop prints.
            const std::uint32_t boundary = (pos | 0xFFFF) + 1;
            const std::uint32_t stop = std::min(fastEnd, boundary);
            pos =
                chains.shift() == KeyChains::kFullShift
                    ? EncodeLiteralRun<KeyChains::kFullShift>(data, pos, stop, head, chains, writer)
                    : EncodeLiteralRun<0>(data, pos, stop, head, chains, writer);
            if (pos >= size) {
                break;
            }
        }
        if (pos % 65536 == 0) {
            Report(progress, LzEvent::kStep, pos, size);
        }
        std::uint32_t len = 0;
        std::uint32_t matchPos = 0;
        if (size - pos >= kMinMatch) {
            if (size - pos >= kPrefetchDistance + kMinMatch) {
                chains.Prefetch(data + pos + kPrefetchDistance);
            }
            const std::uint32_t hash = HashAt(data + pos);
            const std::uint32_t keyHash = chains.Hash(data + pos);
            const std::uint32_t newest = chains.Newest(keyHash);
            // Nothing in the window shares the first three bytes: no match, and no need to look
            // at the head table (one compare, also false for kNoPosition).
            const std::uint32_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
            if (!chained) {
                len = FindLongestMatchWith<kScan>(data, pos, size, head[hash], matchPos);
            } else if (newest - windowStart < pos - windowStart) {
                len = FindLongestMatchChained<kScan>(data, pos, size, head[hash], newest, chains,
                                                     matchPos);
            }
            head[hash] = pos;  // after the search, so that it never sees pos itself
            chains.Insert(pos, keyHash, newest);
        }
        // A best match at distance 1 has no encoding: the position becomes a literal.
        if (len >= kMinMatch && pos - matchPos >= kMinDistance) {
            const std::uint32_t token =
                1u | (pos - matchPos - 1) << 1 | (len - kMinMatch) << (1 + kDistanceFieldBits);
            if (!writer.Put(token, kMatchBits)) {
                return false;
            }
            const std::uint32_t end = pos + len;
            if (len >= kLongMatch) {
                // Compressible images are made of long matches, and entering every position
                // inside them into the chains would be most of the work. There the scan finds
                // the next match at once, so the chains are let go until the window has passed.
                chainsWhole = std::uint64_t{end} + kWindowSize;
                pos = end;
                continue;
            }
            // Positions inside the match are candidates for later searches, never head entries.
            // The loop keeps its state in locals (the table stores could otherwise alias it) and
            // reads each position's three bytes with one load where four bytes remain.
            const std::uint32_t wordEnd = std::min(end, size - 3);
            std::uint32_t* const newestTable = chains.newest_table();
            std::uint32_t* const previousTable = chains.previous_table();
            const unsigned shift = chains.shift();
            for (++pos; pos < wordEnd; ++pos) {
                const std::uint32_t keyHash =
                    ((LoadLE32(data + pos) & 0xFFFFFF) * KeyChains::kMultiplier) >> shift;
                previousTable[pos % KeyChains::kRing] = newestTable[keyHash];
                newestTable[keyHash] = pos;
            }
            for (const std::uint32_t lastHashed = std::min(end, size - kMinMatch + 1);
                 pos < lastHashed; ++pos) {
                const std::uint32_t keyHash = chains.Hash(data + pos);
                chains.Insert(pos, keyHash, chains.Newest(keyHash));
            }
            pos = end;
        } else {
            if (!writer.Put(std::uint32_t{data[pos]} << 1, kLiteralBits)) {
                return false;
            }
            pos += 1;
        }
    }
    return true;
}

// One instantiation of the token loop per scan, each with the whole loop inlined ("flatten") so
// that the wider scans run in code compiled for their instruction set, and only there.
#if CBMP_X86_SCANS
#define CBMP_FLATTEN_FOR(isa) __attribute__((target(isa), flatten))
CBMP_FLATTEN_FOR("sse2")
bool EncodeTokensSse2(const std::uint8_t* data, std::uint32_t size, std::uint32_t* head,
                      KeyChains& chains, BitWriter& writer, const LzProgress* progress) {
    return EncodeTokens<MatchScan::kSse2>(data, size, head, chains, writer, progress);
}
CBMP_FLATTEN_FOR("avx2")
bool EncodeTokensAvx2(const std::uint8_t* data, std::uint32_t size, std::uint32_t* head,
                      KeyChains& chains, BitWriter& writer, const LzProgress* progress) {
    return EncodeTokens<MatchScan::kAvx2>(data, size, head, chains, writer, progress);
}
CBMP_FLATTEN_FOR("avx2,avx512f,avx512bw")
bool EncodeTokensAvx512(const std::uint8_t* data, std::uint32_t size, std::uint32_t* head,
                        KeyChains& chains, BitWriter& writer, const LzProgress* progress) {
    return EncodeTokens<MatchScan::kAvx512>(data, size, head, chains, writer, progress);
}
#endif

bool EncodeTokensWith(MatchScan scan, const std::uint8_t* data, std::uint32_t size,
                      std::uint32_t* head, KeyChains& chains, BitWriter& writer,
                      const LzProgress* progress) {
    switch (MatchScanAvailable(scan) ? scan : MatchScan::kPortable) {
#if CBMP_X86_SCANS
        case MatchScan::kSse2:
            return EncodeTokensSse2(data, size, head, chains, writer, progress);
        case MatchScan::kAvx2:
            return EncodeTokensAvx2(data, size, head, chains, writer, progress);
        case MatchScan::kAvx512:
            return EncodeTokensAvx512(data, size, head, chains, writer, progress);
#endif
        default:
            return EncodeTokens<MatchScan::kPortable>(data, size, head, chains, writer, progress);
    }
}

}  // namespace

std::uint32_t FindLongestMatchWith(MatchScan scan, const std::uint8_t* data, std::uint32_t pos,
                                   std::uint32_t size, std::uint32_t headEntry,
                                   std::uint32_t& matchPos) {
    switch (MatchScanAvailable(scan) ? scan : MatchScan::kPortable) {
#if CBMP_X86_SCANS
        case MatchScan::kSse2:
            return FindLongestMatchWith<MatchScan::kSse2>(data, pos, size, headEntry, matchPos);
        case MatchScan::kAvx2:
            return FindLongestMatchWith<MatchScan::kAvx2>(data, pos, size, headEntry, matchPos);
        case MatchScan::kAvx512:
            return FindLongestMatchWith<MatchScan::kAvx512>(data, pos, size, headEntry, matchPos);
#endif
        default:
            return FindLongestMatchWith<MatchScan::kPortable>(data, pos, size, headEntry, matchPos);
    }
}

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
    return FindLongestMatchWith(BestMatchScan(), data, pos, size, head[HashAt(data + pos)],
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
    KeyChains chains;
    if (!chains.Create(size, options.chainTableBits)) {
        return nullptr;
    }

    Report(options.progress, LzEvent::kStart, 0, size);
    if (!writer.Put(size, kLengthFieldBits)) {
        return nullptr;
    }
    const bool ok =
        EncodeTokensWith(options.scan, data, size, head.get(), chains, writer, options.progress);
    if (!ok) {
        return nullptr;
    }
    Report(options.progress, LzEvent::kEnd, size, size);
    if (!writer.Put(kEndMarker, kEndMarkerBits) || !writer.Finish()) {
        return nullptr;
    }
    streamSize = writer.length();
    return writer.Release();
}

ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress) {
    LzCompressOptions options;
    options.progress = progress;
    return LzCompressWith(data, size, streamSize, options);
}

}  // namespace cbmp
