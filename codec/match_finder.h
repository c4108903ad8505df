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
#include <memory>
#include <new>

#include "codec/byte_buffer.h"
#include "codec/byte_order.h"
#include "codec/lz_format.h"

// On x86-64 with GCC or Clang the wider scans are compiled for their instruction sets through
// function attributes and chosen at run time, so one binary runs on every x86-64 host.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    defined(__SSE2__)
#include <immintrin.h>
#define CBMP_X86_SCANS 1
#define CBMP_TARGET(isa) __attribute__((target(isa)))
#else
#define CBMP_X86_SCANS 0
#endif

namespace cbmp {

enum class MatchScan {
    kPortable,  // eight candidates a step in a 64-bit word; any host
    kSse2,      // sixteen candidates a step; x86 with SSE2
    kAvx2,      // thirty-two candidates a step; x86 with AVX2
    kAvx512,    // sixty-four candidates a step; x86 with AVX-512BW
};

// True when `scan` is compiled in and this processor can run it.
inline bool MatchScanAvailable(MatchScan scan) {
    switch (scan) {
        case MatchScan::kPortable:
            return true;
#if CBMP_X86_SCANS
        case MatchScan::kSse2:
            return true;
        case MatchScan::kAvx2:
            return __builtin_cpu_supports("avx2");
        case MatchScan::kAvx512:
            return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

// The widest scan this processor runs.
inline MatchScan BestMatchScan() {
    for (MatchScan scan : {MatchScan::kAvx512, MatchScan::kAvx2, MatchScan::kSse2}) {
        if (MatchScanAvailable(scan)) {
            return scan;
        }
    }
    return MatchScan::kPortable;
}

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

#if CBMP_X86_SCANS
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

// Candidates [lo, hi], thirty-two at a time.
CBMP_TARGET("avx2") inline void ScanAvx2(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint8_t* p = s.data + s.pos;
    const __m256i b0 = _mm256_set1_epi8(static_cast<char>(p[0]));
    const __m256i b1 = _mm256_set1_epi8(static_cast<char>(p[1]));
    const __m256i b2 = _mm256_set1_epi8(static_cast<char>(p[2]));
    std::uint32_t top = hi;
    while (!s.done && top >= lo + 31) {
        const std::uint8_t* q = s.data + top - 31;
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
        const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2));
        const __m256i eq =
            _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(v0, b0), _mm256_cmpeq_epi8(v1, b1)),
                             _mm256_cmpeq_epi8(v2, b2));
        auto hits = static_cast<std::uint32_t>(_mm256_movemask_epi8(eq));
        while (hits != 0 && !s.done) {
            const int bit = 31 - std::countl_zero(hits);
            s.Try(top - 31 + static_cast<std::uint32_t>(bit));
            hits &= ~(1u << bit);
        }
        if (top < 32) {
            return;
        }
        top -= 32;
    }
    if (!s.done && top >= lo) {
        ScanSse2(s, lo, top);
    }
}

// Candidates [lo, hi], sixty-four at a time, the partial first and last steps masked.
CBMP_TARGET("avx512f,avx512bw")
inline void ScanAvx512(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint8_t* p = s.data + s.pos;
    const __m512i b0 = _mm512_set1_epi8(static_cast<char>(p[0]));
    const __m512i b1 = _mm512_set1_epi8(static_cast<char>(p[1]));
    const __m512i b2 = _mm512_set1_epi8(static_cast<char>(p[2]));
    std::uint32_t top = hi;
    while (!s.done && top >= lo + 63) {
        const std::uint8_t* q = s.data + top - 63;
        std::uint64_t hits = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(q), b0) &
                             _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(q + 1), b1) &
                             _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(q + 2), b2);
        while (hits != 0 && !s.done) {
            const int bit = 63 - std::countl_zero(hits);
            s.Try(top - 63 + static_cast<std::uint32_t>(bit));
            hits &= ~(std::uint64_t{1} << bit);
        }
        if (top < 64) {
            return;
        }
        top -= 64;
    }
    if (!s.done && top >= lo) {
        ScanAvx2(s, lo, top);
    }
}
#endif

}  // namespace detail

namespace detail {

template <MatchScan kScan>
inline void Scan(ScanState& s, std::uint32_t lo, std::uint32_t hi) {
    if constexpr (kScan == MatchScan::kPortable) {
        ScanPortable(s, lo, hi);
    }
#if CBMP_X86_SCANS
    if constexpr (kScan == MatchScan::kSse2) {
        ScanSse2(s, lo, hi);
    }
    if constexpr (kScan == MatchScan::kAvx2) {
        ScanAvx2(s, lo, hi);
    }
    if constexpr (kScan == MatchScan::kAvx512) {
        ScanAvx512(s, lo, hi);
    }
#endif
}

// The lowest candidate, `lo`, for a search at pos from `headEntry`; false when there is none.
inline bool CandidateRange(std::uint32_t pos, std::uint32_t size, std::uint32_t headEntry,
                           std::uint32_t& lo) {
    if (std::uint64_t{pos} + kMinMatch > size || headEntry == kNoPosition || headEntry >= pos) {
        return false;
    }
    const std::uint32_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
    if (headEntry < windowStart) {
        return false;
    }
    const std::uint32_t budgetEnd =
        headEntry >= kMaxCandidates - 1 ? headEntry - (kMaxCandidates - 1) : 0;
    lo = std::max(windowStart, budgetEnd);
    return true;
}

inline std::uint32_t Result(const ScanState& s, std::uint32_t& matchPos) {
    if (s.best != 0) {
        matchPos = s.bestPos;
    }
    return s.best;
}

}  // namespace detail

// The longest match for data[pos..] as described above, with the given scan (which must be
// available): its length (0 for none) and, when not 0, its start in `matchPos`. `headEntry` is the
// latest token start below pos with the hash of data[pos..pos + 2], or kNoPosition.
template <MatchScan kScan>
inline std::uint32_t FindLongestMatchWith(const std::uint8_t* data, std::uint32_t pos,
                                          std::uint32_t size, std::uint32_t headEntry,
                                          std::uint32_t& matchPos) {
    std::uint32_t lo = 0;
    if (!detail::CandidateRange(pos, size, headEntry, lo)) {
        return 0;
    }
    detail::ScanState s{data, pos, std::min(size - pos, kMaxMatch)};
    detail::Scan<kScan>(s, lo, headEntry);
    return detail::Result(s, matchPos);
}

// Chains of earlier positions by their first three bytes, over every position (token start or
// not) in the last 65,536: newest[h] is the latest position inserted whose three bytes hash to h,
// previous[q % 65,536] the one inserted before q with the same hash. The hash is wider than the
// head table's, so on data where few positions share their first bytes (photographs, noise) most
// searches end at one look-up, and the others visit only the few positions worth trying.
class KeyChains {
  public:
    static constexpr std::uint32_t kRing = 65536;    // more than the window: live links survive
    static constexpr unsigned kFullShift = 32 - 20;  // the largest table: 2^20 entries

    // Sizes the table for an input of `size` bytes: 2^16 to 2^20 entries.
    // `bits`, when not 0, fixes the table at 2^bits entries (16 to 20) instead.
    bool Create(std::uint32_t size, unsigned bits = 0) {
        shift_ = 32 - 16;
        while (shift_ > kFullShift && (std::uint64_t{1} << (32 - shift_ + 4)) < size) {
            --shift_;
        }
        if (bits >= 16 && bits <= 32 - kFullShift) {
            shift_ = 32 - bits;
        }
        const std::size_t entries = std::size_t{1} << (32 - shift_);
        newestBytes_ = AllocateBytes(entries * sizeof(std::uint32_t));
        newest_ =
            static_cast<std::uint32_t*>(static_cast<void*>(newestBytes_.get()));  // malloc-aligned
        previous_.reset(new (std::nothrow) std::uint32_t[kRing]);
        if (!newest_ || !previous_) {
            return false;
        }
        std::fill_n(newest_, entries, kNoPosition);
        return true;
    }

    std::uint32_t Hash(const std::uint8_t* p) const {
        const std::uint32_t key = p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
        return (key * kMultiplier) >> shift_;
    }
    std::uint32_t Newest(std::uint32_t hash) const { return newest_[hash]; }
    std::uint32_t* newest_table() const { return newest_; }
    std::uint32_t* previous_table() const { return previous_.get(); }
    unsigned shift() const { return shift_; }
    static constexpr std::uint32_t kMultiplier = 0x9E3779B1u;
    // Starts loading the entry for the three bytes at p, to be looked up a little later.
    void Prefetch(const std::uint8_t* p) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&newest_[Hash(p)]);
#else
        (void)p;
#endif
    }
    std::uint32_t Previous(std::uint32_t pos) const {
        return previous_[pos % kRing];
    }

    // Inserts pos, whose hash is `hash` and for which Newest(hash) was `newest`.
    void Insert(std::uint32_t pos, std::uint32_t hash, std::uint32_t newest) {
        previous_[pos % kRing] = newest;
        newest_[hash] = pos;
    }

  private:
    ByteBuffer newestBytes_;  // in huge pages where the system allows: looked up at random
    std::uint32_t* newest_ = nullptr;
    std::unique_ptr<std::uint32_t[]> previous_;
    unsigned shift_ = 16;
};

// FindLongestMatchWith, guided by the chains: `newest` is the latest position below pos whose
// three bytes hash as pos's (every position below pos inserted, pos not yet). The candidates in
// [lo, head] that share pos's first three bytes are all on that chain, nearest first, so walking
// it tries them in the scan's order. Where the chain is long the scan takes over from where the
// walk stopped, so the result is always exactly the scan's.
template <MatchScan kScan>
inline std::uint32_t FindLongestMatchChained(const std::uint8_t* data, std::uint32_t pos,
                                             std::uint32_t size, std::uint32_t headEntry,
                                             std::uint32_t newest, const KeyChains& chains,
                                             std::uint32_t& matchPos) {
    constexpr int kMaxSteps = 12;  // chain links followed before the scan takes over
    std::uint32_t lo = 0;
    if (!detail::CandidateRange(pos, size, headEntry, lo)) {
        return 0;
    }
    detail::ScanState s{data, pos, std::min(size - pos, kMaxMatch)};
    // Pass over the chain's positions after the head entry. Every link followed is above
    // lo >= pos - 32,768, so its ring slot has not been reused since it was written.
    std::uint32_t c = newest;
    int steps = kMaxSteps;
    while (c != kNoPosition && c > headEntry) {
        if (--steps < 0) {
            detail::Scan<kScan>(s, lo, headEntry);
            return detail::Result(s, matchPos);
        }
        c = chains.Previous(c);
    }
    const std::uint8_t* p = data + pos;
    steps = kMaxSteps;
    while (c != kNoPosition && c >= lo && !s.done) {
        if (--steps < 0) {
            detail::Scan<kScan>(s, lo, c);  // the candidates above c are done
            break;
        }
        const std::uint8_t* q = data + c;
        if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) {
            s.Try(c);
        }
        c = chains.Previous(c);
    }
    return detail::Result(s, matchPos);
}

}  // namespace cbmp
