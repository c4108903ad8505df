// LzCompress: the greedy LZ77 encoder that writes the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"
#include "codec/lz_sink.h"

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
// its end to `progress` (may be null), always from the calling thread and in that order; the end
// is not reported when the call fails.
ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress = nullptr);

struct LzCompressOptions {
    // Threads that share the work: 0 for as many as the machine has cores, 1 for the calling
    // thread alone. The stream and the progress reports are the same for every count; the
    // threads a process runs for its calls together stay under a fixed limit.
    unsigned threads = 0;
    const LzProgress* progress = nullptr;
};

// LzCompress with explicit options.
ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options);

// LzCompressWith that hands the stream to `sink` in order instead of returning it, and writes its
// length to `streamSize` on success. Returns false when memory is exhausted, the stream would not
// fit a u32 length, or the sink refused a chunk.
bool LzCompressTo(const std::uint8_t* data, std::uint32_t size, const LzCompressOptions& options,
                  const LzSink& sink, std::uint32_t& streamSize);

}  // namespace cbmp
