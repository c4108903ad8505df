// LzCompress: the greedy LZ77 encoder that writes the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "codec/byte_buffer.h"
#include "codec/lz_progress.h"
#include "codec/match_finder.h"

namespace cbmp {

// 16-bit hash of the first min(n, 4) bytes: h = h * 33 + b from h = 0, taken mod 65,536.
std::uint16_t Hash3(const std::uint8_t* bytes, std::uint32_t n);

// Longest match for data[pos..] among the up to 128 positions counted back from
// head[Hash3(data + pos, 3)] that lie inside the 32 KiB window (see match_finder.h). Returns its
// length (0 for none, else 3 to 258) and, when it is not 0, its start in `matchPos`.
std::uint32_t FindLongestMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                               const std::uint32_t* head, std::uint32_t& matchPos);

// Compresses `size` bytes of `data`. Returns a new buffer whose first `streamSize` bytes are the
// stream (it is allocated for the worst case, of which only the stream's pages are touched), or
// null when memory is exhausted or the stream would not fit a u32 length; `streamSize` is written
// only on success. Reports its start, a step wherever a token starts on a multiple of 65,536, and
// its end to `progress` (may be null); the end is not reported when the call fails.
ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress = nullptr);

struct LzCompressOptions {
    // A stream that would grow past this many bytes fails the call. LzCompress caps at the u32
    // limit; tests use small caps to reach that guard without gigabytes of input.
    std::uint32_t maxStreamBytes = 0xFFFFFFFFu;
    MatchScan scan = BestMatchScan();  // an unavailable scan falls back to the portable one
    // Size of the encoder's chain table as a power of two, 16 to 20; 0 chooses by input size.
    // The stream never depends on it: tests use it to reach every table size on small inputs.
    unsigned chainTableBits = 0;
    const LzProgress* progress = nullptr;
};

// The candidate scan alone, with a given scan (see match_finder.h); `headEntry` is the head-table
// entry for the hash of data[pos..pos + 2].
std::uint32_t FindLongestMatchWith(MatchScan scan, const std::uint8_t* data, std::uint32_t pos,
                                   std::uint32_t size, std::uint32_t headEntry,
                                   std::uint32_t& matchPos);

// LzCompress with explicit options.
ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options);

}  // namespace cbmp
