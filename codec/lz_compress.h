// LzCompress: the greedy LZ77 encoder that writes the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"
#include "codec/lz_sink.h"

namespace cbmp {

// Compresses `size` bytes of `data`. Returns a new buffer whose first `streamSize` bytes are the
// stream (it is allocated for the worst case where that can be had, of which only the stream's
// pages are touched), or null when memory is exhausted or the stream would not fit a u32 length;
// `streamSize` is written only on success. Reports its start, a step wherever a token starts on a
// multiple of 65,536, and its end to `progress` (may be null), always from the calling thread and
// in that order; the end is not reported when the call fails.
ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress = nullptr);

struct LzCompressOptions {
    // Threads that share the work: 0 for as many as the process may use cores (its CPU
    // affinity), 1 for the calling thread alone. The stream and the progress reports are the same
    // for every count. Helper threads run at idle priority (they only take cores nobody else
    // wants), never write the stream, and the helpers of all calls together are at most the
    // usable cores.
    unsigned threads = 0;
    const LzProgress* progress = nullptr;
};

// LzCompress with explicit options.
ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options);

// LzCompressWith that hands the stream to `sink` in order, in chunks of up to 128 KiB from a buffer
// it reuses, all from the calling thread, instead of returning it; its memory does not grow with
// the stream (one thread: the 256 KiB head table and the 128 KiB chunk; see lz_segments.cpp for
// a helper's). Writes the stream's length to `streamSize` on success. Returns false when memory is
// exhausted, the stream would not fit a u32 length, or the sink refused a chunk; the sink may then
// have taken part of the stream.
bool LzCompressTo(const std::uint8_t* data, std::uint32_t size, const LzCompressOptions& options,
                  const LzSink& sink, std::uint32_t& streamSize);

}  // namespace cbmp
