// The candidate scan of the LZ77 encoder, in a portable form and, where the host has them, a
// vector form. Every form returns exactly what the plain rules give:
//   - the candidates are head, head - 1, ..., head - 127, in that order, those before the window
//     start (pos - 32,768) skipped;
//   - a candidate counts when it matches at least 3 bytes and strictly more than the best so far,
//     so among equal lengths the one nearest to pos wins;
//   - a match longer than 32 bytes ends the scan; no match exceeds min(size - pos, 258).
// The speed comes from testing the first three bytes of many candidates at once and extending
// only the survivors, eight bytes at a time.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "codec/byte_order.h"
#include "codec/lz_format.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CBMP_HAVE_SSE2 1
#else
#define CBMP_HAVE_SSE2 0
#endif

namespace cbmp {

enum class MatchScan {
    kPortable,  // eight candidates a step in a 64-bit word; any host
    kSse2,      // sixteen candidates a step; x86 with SSE2
};

inline constexpr bool MatchScanAvailable(MatchScan scan) {
    return scan == MatchScan::kPortable || CBMP_HAVE_SSE2;
}

inline constexpr MatchScan kBestMatchScan =
    CBMP_HAVE_SSE2 ? MatchScan::kSse2 : MatchScan::kPortable;

namespace detail {

// Length of the common prefix of a and b, at most `limit`; b + limit must lie inside the data.
inline std::uint32_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b,
                                  std::uint32_t limit) {
    std::uint32_t k = 0;
    while (k + 8 <= limit) {
        const std::uint64_t diff = LoadLE64(a + k) ^ LoadLE64(b + k);
        if (diff != 0) {
            return k + static_cast<std::uint32_t>(std::countr_zero(diff)) / 8;
        }
        k += 8;
    }
    while (k < limit && a[k] == b[k]) {
        ++k;
    }
    return k;
}

// The state of one scan: the best match so far and whether the scan is over.
struct ScanState {
    const std::uint8_t* data;
    std::uint32_t pos;
    std::uint32_t limit;  // min(size - pos, 258), at least 3
    std::uint32_t best = 0;
    std::uint32_t bestPos = 0;
    bool done = false;

    // Tries candidate c, already known to match the first three bytes.
    void Try(std::uint32_t c) {
        // To count it must also match at index best (only reachable when best < limit).
        if (best >= kMinMatch && data[c + best] != data[pos + best]) {
            return;
        }
        const std::uint32_t k = CommonPrefix(data + c, data + pos, limit);
        if (k > best) {
            best = k;
            bestPos = c;
            // Beyond 32 bytes the scan stops; at the limit no later candidate can be longer.
            done = k > kGoodEnoughMatch || k == limit;
        }
    }
};

// Bytes of x that are zero get their top bit set, all others 0 (exact, no carries across bytes).
inline std::uint64_t ZeroBytes(std::uint64_t x) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Candidates [lo, hi], nearest first, one byte compare at a time.
inline void ScanBytewise(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint8_t* p = s.data + s.pos;
    for (std::uint32_t c = hi + 1; c-- > lo && !s.done;) {
        const std::uint8_t* q = s.data + c;
        if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) {
            s.Try(c);
        }
    }
}

// Candidates [lo, hi], eight at a time: lane i of a step whose top candidate is t holds the
// three bytes at t - 7 + i, compared with the three bytes at pos in one 64-bit word each.
inline void ScanPortable(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint8_t* p = s.data + s.pos;
    const std::uint64_t b0 = 0x0101010101010101ULL * p[0];
    const std::uint64_t b1 = 0x0101010101010101ULL * p[1];
    const std::uint64_t b2 = 0x0101010101010101ULL * p[2];
    std::uint32_t top = hi;
    while (!s.done && top >= lo + 7) {
        const std::uint8_t* q = s.data + top - 7;
        std::uint64_t hits =
            ZeroBytes((LoadLE64(q) ^ b0) | (LoadLE64(q + 1) ^ b1) | (LoadLE64(q + 2) ^ b2));
        while (hits != 0 && !s.done) {
            const int bit = 63 - std::countl_zero(hits);  // the nearest remaining candidate
            s.Try(top - 7 + static_cast<std::uint32_t>(bit / 8));
            hits &= ~(std::uint64_t{1} << bit);
        }
        if (top < 8) {
            return;
        }
        top -= 8;
    }
    if (!s.done && top >= lo && top + 1 > lo) {
        ScanBytewise(s, lo, top);
    }
}

#if CBMP_HAVE_SSE2
// Candidates [lo, hi], sixteen at a time, as ScanPortable.
inline void ScanSse2(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint8_t* p = s.data + s.pos;
    const __m128i b0 = _mm_set1_epi8(static_cast<char>(p[0]));
    const __m128i b1 = _mm_set1_epi8(static_cast<char>(p[1]));
    const __m128i b2 = _mm_set1_epi8(static_cast<char>(p[2]));
    std::uint32_t top = hi;
    while (!s.done && top >= lo + 15) {
        const std::uint8_t* q = s.data + top - 15;
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
        const __m128i eq = _mm_and_si128(
            _mm_and_si128(_mm_cmpeq_epi8(v0, b0), _mm_cmpeq_epi8(v1, b1)), _mm_cmpeq_epi8(v2, b2));
        auto hits = static_cast<std::uint32_t>(_mm_movemask_epi8(eq));
        while (hits != 0 && !s.done) {
            const int bit = 31 - std::countl_zero(hits);
            s.Try(top - 15 + static_cast<std::uint32_t>(bit));
            hits &= ~(1u << bit);
        }
        if (top < 16) {
            return;
        }
        top -= 16;
    }
    if (!s.done && top >= lo) {
        ScanPortable(s, lo, top);
    }
}
#endif

}  // namespace detail

// The longest match for data[pos..] as described above, with the given scan: its length (0 for
// none) and, when not 0, its start in `matchPos`. `head` holds, per hash, the latest token start
// below pos with that hash, or kNoPosition.
template <MatchScan kScan>
inline std::uint32_t FindLongestMatchWith(const std::uint8_t* data, std::uint32_t pos,
                                          std::uint32_t size, std::uint32_t headEntry,
                                          std::uint32_t& matchPos) {
    if (std::uint64_t{pos} + kMinMatch > size || headEntry == kNoPosition || headEntry >= pos) {
        return 0;
    }
    const std::uint32_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
    if (headEntry < windowStart) {
        return 0;
    }
    const std::uint32_t budgetEnd =
        headEntry >= kMaxCandidates - 1 ? headEntry - (kMaxCandidates - 1) : 0;
    const std::uint32_t lo = std::max(windowStart, budgetEnd);
    detail::ScanState s{data, pos, std::min(size - pos, kMaxMatch)};
#if CBMP_HAVE_SSE2
    if constexpr (kScan == MatchScan::kSse2) {
        detail::ScanSse2(s, lo, headEntry);
    } else {
        detail::ScanPortable(s, lo, headEntry);
    }
#else
    static_assert(kScan == MatchScan::kPortable, "this host has no vector scan");
    detail::ScanPortable(s, lo, headEntry);
#endif
    if (s.best != 0) {
        matchPos = s.bestPos;
    }
    return s.best;
}

}  // namespace cbmp
