// The encoder's match finder: the head table and the candidate scan.
//
// For a position pos, the candidates are head, head - 1, ..., head - 127 (head being the latest
// token start whose first three bytes hash as pos's), those before the window start
// (pos - 32,768) skipped. A candidate counts when it matches at least 3 bytes and strictly more
// than the best so far, so among equal lengths the one nearest to pos wins; a match longer than
// 32 bytes ends the scan, and no match exceeds min(size - pos, 258).
//
// Those rules pick the same match as this: among the candidates, take the longest common prefix
// counted up to stop = min(limit, 33) bytes (limit = min(size - pos, 258)), the nearest of that
// length; if it reached 33, extend it to its full length. (Scanning nearest first, the first
// candidate to reach 33 bytes or the limit is longer than every nearer one, so it counts and ends
// the scan; below that, the longest and nearest is what "strictly longer" keeps.)
//
// When all 128 candidates lie in the window, the scan tests their first three bytes at once, a
// group of lanes at a time: eight in a 64-bit integer on any host, thirty-two in an AVX2 register
// where the processor has it. When any candidate shares them, the AVX2 scan compares the
// nearest one over 32 more bytes (in flat stretches it reaches 33 and ends the search), and
// otherwise evaluates them all byte level by byte level, mask(k + 1) = mask(k) & (data[c + k] ==
// p[k]) for every lane at once, until the mask is empty or k reaches stop: the last non-empty
// level gives the length and its highest lane the nearest candidate, with no branch per
// candidate. The portable scan, and candidate ranges cut by the window or the start of the data,
// compare candidates one by one, nearest first, extending only those that can still win.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>

#include "codec/byte_order.h"
#include "codec/lz_format.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    defined(__SSE2__)
#include <immintrin.h>
#define CBMP_X86_SCANS 1
#define CBMP_TARGET(isa) __attribute__((target(isa)))
#else
#define CBMP_X86_SCANS 0
#endif

namespace cbmp {

// The head table's hash of the three bytes at p: b0 * 1,089 + b1 * 33 + b2 mod 65,536.
inline std::uint32_t HeadHash(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} * 1089 + std::uint32_t{p[1]} * 33 + p[2]) & (kHashSize - 1);
}

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

// A found match: its length (0 for none) and its distance back from the position searched.
struct Match {
    std::uint32_t length = 0;
    std::uint32_t distance = 0;
};

// The scan's choice, candidate c, its first k bytes matching; one that reached 33 bytes ended
// the scan and is extended to its full length.
inline Match ChosenMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t c,
                         std::uint32_t limit, std::uint32_t k) {
    const bool earlyStop = k == kGoodEnoughMatch + 1 && k < limit;
    return {earlyStop ? CommonPrefix(data + c, data + pos, limit) : k, pos - c};
}

// Eight candidates in a 64-bit word. Hits() gives, for the candidates q .. q + 7, a mask with the
// top bit of byte i set when candidate q + i shares the three bytes of the key.
struct WordLanes {
    static constexpr std::uint32_t kWidth = 8;
    static constexpr unsigned kBitsPerLane = 8;
    static constexpr bool kLevelScan = false;  // one by one after the three-byte test
    struct Key {
        std::uint64_t b0, b1, b2;
    };
    static Key MakeKey(const std::uint8_t* p) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        return {kOnes * p[0], kOnes * p[1], kOnes * p[2]};
    }
    static std::uint64_t Hits(const std::uint8_t* q, const Key& k) {
        const std::uint64_t x =
            (LoadLE64(q) ^ k.b0) | (LoadLE64(q + 1) ^ k.b1) | (LoadLE64(q + 2) ^ k.b2);
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
        return ~(((x & kLow7) + kLow7) | x | kLow7);  // exact: no carry crosses a byte
    }
};

#if CBMP_X86_SCANS
// Thirty-two candidates in an AVX2 register, one mask bit each.
struct Avx2Lanes {
    static constexpr std::uint32_t kWidth = 32;
    static constexpr unsigned kBitsPerLane = 1;
    static constexpr bool kLevelScan = true;
    struct Key {
        __m256i b0, b1, b2;
    };
    CBMP_TARGET("avx2") static Key MakeKey(const std::uint8_t* p) {
        return {_mm256_set1_epi8(static_cast<char>(p[0])),
                _mm256_set1_epi8(static_cast<char>(p[1])),
                _mm256_set1_epi8(static_cast<char>(p[2]))};
    }
    CBMP_TARGET("avx2") static std::uint64_t Hits(const std::uint8_t* q, const Key& k) {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(Match3(q, k)));
    }

    // All 128 candidates lo .. lo + 127, with lo + 127 < pos and pos + limit <= size (so every
    // candidate's first `limit` bytes lie in the data): four registers, register g holding the
    // candidates lo + 32 g ... lo + 32 g + 31. It takes and gives no vector, so that code built
    // without AVX2 may call it: vectors are passed differently there.
    CBMP_TARGET("avx2")
    static Match ScanWide(const std::uint8_t* data, std::uint32_t pos, std::uint32_t lo,
                          std::uint32_t limit) {
        constexpr std::uint32_t kGroups = kMaxCandidates / kWidth;
        const std::uint8_t* p = data + pos;
        const std::uint8_t* q = data + lo;
        const Key key = MakeKey(p);
        __m256i level[kGroups];
        for (std::uint32_t g = 0; g < kGroups; ++g) {
            level[g] = Match3(q + g * kWidth, key);
        }
        // On photographs and noise most searches find no candidate at all, and end here.
        const __m256i any = _mm256_or_si256(_mm256_or_si256(level[0], level[1]),
                                            _mm256_or_si256(level[2], level[3]));
        if (_mm256_testz_si256(any, any) != 0) {
            return {};
        }
        // In flat stretches the nearest candidate alone reaches 33 bytes: that ends the scan
        // before the levels climb to 33 for every candidate. Bytes 3 .. 34, one compare.
        if (limit >= kMinMatch + kWidth) {
            std::uint32_t g = kGroups - 1;
            std::uint32_t bits = 0;
            while ((bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(level[g]))) == 0) {
                --g;
            }
            const std::uint32_t c =
                lo + g * kWidth + static_cast<std::uint32_t>(31 - std::countl_zero(bits));
            const auto same = static_cast<std::uint32_t>(_mm256_movemask_epi8(
                _mm256_cmpeq_epi8(Load(data + c + kMinMatch), Load(p + kMinMatch))));
            if (same == 0xFFFFFFFFu) {
                return ChosenMatch(data, pos, c, limit, kGoodEnoughMatch + 1);
            }
        }
        const std::uint32_t stop = std::min(limit, kGoodEnoughMatch + 1);
        // Invariant: level holds the candidates whose first k bytes match, and is not empty.
        std::uint32_t k = kMinMatch;
        for (; k < stop; ++k) {
            const __m256i b = _mm256_set1_epi8(static_cast<char>(p[k]));
            __m256i next[kGroups];
            for (std::uint32_t g = 0; g < kGroups; ++g) {
                next[g] = _mm256_and_si256(level[g], Equal(q + g * kWidth + k, b));
            }
            const __m256i alive = _mm256_or_si256(_mm256_or_si256(next[0], next[1]),
                                                  _mm256_or_si256(next[2], next[3]));
            if (_mm256_testz_si256(alive, alive) != 0) {
                break;
            }
            for (std::uint32_t g = 0; g < kGroups; ++g) {
                level[g] = next[g];
            }
        }
        std::uint32_t lane = 0;
        for (std::uint32_t g = kGroups; g-- > 0;) {
            const auto top = static_cast<std::uint32_t>(_mm256_movemask_epi8(level[g]));
            if (top != 0) {
                lane = g * kWidth + static_cast<std::uint32_t>(31 - std::countl_zero(top));
                break;
            }
        }
        return ChosenMatch(data, pos, lo + lane, limit, k);
    }

  private:
    static_assert(kMaxCandidates / kWidth == 4);
    CBMP_TARGET("avx2") static __m256i Load(const std::uint8_t* q) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    }
    CBMP_TARGET("avx2") static __m256i Equal(const std::uint8_t* q, __m256i b) {
        return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), b);
    }
    CBMP_TARGET("avx2") static __m256i Match3(const std::uint8_t* q, const Key& k) {
        return _mm256_and_si256(_mm256_and_si256(Equal(q, k.b0), Equal(q + 1, k.b1)),
                                Equal(q + 2, k.b2));
    }
};
#endif

// The longest match for data[pos..] among the candidates counted back from `headEntry` (the head
// table's entry for pos, or kNoPosition), scanning `Lanes::kWidth` candidates a step.
template <class Lanes>
inline Match FindLongestMatchIn(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                                std::uint32_t headEntry) {
    const std::uint32_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
    if (headEntry >= pos || headEntry < windowStart || std::uint64_t{pos} + kMinMatch > size) {
        return {};  // also kNoPosition, which is >= pos
    }
    const std::uint32_t lo = std::max(
        windowStart, headEntry >= kMaxCandidates - 1 ? headEntry - (kMaxCandidates - 1) : 0);
    const std::uint8_t* p = data + pos;
    const std::uint32_t limit = std::min(size - pos, kMaxMatch);
    std::uint32_t best = 0;
    std::uint32_t bestPos = 0;
    // Tries candidate c, known to share the first three bytes; true when the scan is over.
    const auto tryCandidate = [&](std::uint32_t c) {
        // To count it must also match at index best (only reachable when best < limit).
        if (best >= kMinMatch && data[c + best] != p[best]) {
            return false;
        }
        const std::uint32_t k = CommonPrefix(data + c, p, limit);
        if (k > best) {
            best = k;
            bestPos = c;
            return k > kGoodEnoughMatch || k == limit;  // nothing later can be longer
        }
        return false;
    };
    std::uint32_t top = headEntry;  // candidates [lo, top] remain, nearest first
    bool done = false;
    if constexpr (Lanes::kLevelScan) {
        if (top - lo + 1 == kMaxCandidates) {
            return Lanes::ScanWide(data, pos, lo, limit);
        }
    }
    if (top - lo + 1 >= Lanes::kWidth) {
        const typename Lanes::Key key = Lanes::MakeKey(p);
        if (top - lo + 1 == kMaxCandidates) {
            // All 128 candidates at once, without a branch between the groups: on photographs
            // and noise most searches find none sharing the first three bytes, and end here.
            std::uint64_t any = 0;
            for (std::uint32_t k = 0; k < kMaxCandidates; k += Lanes::kWidth) {
                any |= Lanes::Hits(data + lo + k, key);
            }
            if (any == 0) {
                return {};
            }
        }
        while (!done && top - lo + 1 >= Lanes::kWidth) {
            const std::uint32_t first = top - (Lanes::kWidth - 1);
            std::uint64_t hits = Lanes::Hits(data + first, key);
            while (hits != 0 && !done) {
                const int bit = 63 - std::countl_zero(hits);  // the nearest remaining candidate
                done = tryCandidate(first + static_cast<std::uint32_t>(bit) / Lanes::kBitsPerLane);
                hits &= ~(std::uint64_t{1} << bit);
            }
            if (first == lo) {
                done = true;
            }
            top = first - 1;
        }
    }
    for (std::uint32_t c = top + 1; !done && c-- > lo;) {
        const std::uint8_t* q = data + c;
        if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) {
            done = tryCandidate(c);
        }
    }
    return {best, best != 0 ? pos - bestPos : 0};
}

// The head table and the search: Find(pos) gives the longest match at pos and then enters pos
// as a token start. Positions inside a match are never entered, so a token loop calls Find at
// each token start and nowhere else.
template <class Lanes>
class Matcher {
  public:
    // Starts with every entry empty; false when memory is exhausted.
    bool Create(const std::uint8_t* data, std::uint32_t size) {
        data_ = data;
        size_ = size;
        head_.reset(new (std::nothrow) std::uint32_t[kHashSize]);
        if (!head_) {
            return false;
        }
        Clear();
        return true;
    }
    void Clear() { std::fill_n(head_.get(), kHashSize, kNoPosition); }

    Match Find(std::uint32_t pos) {
        if (std::uint64_t{pos} + kMinMatch > size_) {
            return {};  // the last two bytes are always literals, never entered
        }
        // The table is too large for the nearest cache, and its entries are read at random:
        // start loading the one a few tokens on.
        if (std::uint64_t{pos} + kPrefetchDistance + kMinMatch <= size_) {
            Prefetch(&head_[HeadHash(data_ + pos + kPrefetchDistance)]);
        }
        std::uint32_t& entry = head_[HeadHash(data_ + pos)];
        const Match match = FindLongestMatchIn<Lanes>(data_, pos, size_, entry);
        entry = pos;  // after the search, which never sees pos itself
        return match;
    }

    // Enters pos as a token start without searching (rebuilding the table from known tokens).
    void Enter(std::uint32_t pos) {
        if (std::uint64_t{pos} + kMinMatch <= size_) {
            head_[HeadHash(data_ + pos)] = pos;
        }
    }

  private:
    static constexpr std::uint32_t kPrefetchDistance = 16;

    static void Prefetch(const std::uint32_t* entry) {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(entry);
#else
        (void)entry;
#endif
    }

    const std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::unique_ptr<std::uint32_t[]> head_;
};

}  // namespace cbmp
