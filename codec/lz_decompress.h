// LzDecompress: the decoder of the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"
#include "codec/lz_sink.h"

namespace cbmp {

// Bytes after the end of the output that the decoder may write as scratch: a buffer handed to
// LzDecompressInto for `size` bytes must have size + kDecodeSlack writable bytes. What they hold
// afterwards is unspecified; no byte before the output or past the slack is ever touched.
inline constexpr std::uint32_t kDecodeSlack = 16;

// Decodes `stream` (`streamSize` bytes) into out[0, size), `size` being the size the caller
// expects; the stream's own length field is skipped. Decoding stops after `size` bytes, even
// inside a match. Returns false, the stream being corrupt, when it would read past its end, ends
// (end marker) before `size` bytes, or has a match reaching before the start of the output; the
// contents of `out` are then unspecified. Returns false silently, before writing or reporting
// anything, when the stream is under 4 bytes or `size` exceeds what `streamSize` bytes could
// possibly decode to. Reports its start, a step wherever a token starts on a multiple of 65,536,
// and its end to `progress` (may be null); once the start is reported, the end is too, whether
// decoding succeeded or not. `out` needs no alignment.
bool LzDecompressInto(const std::uint8_t* stream, std::uint32_t streamSize, std::uint8_t* out,
                      std::uint32_t size, const LzProgress* progress = nullptr);

// How the decoder unpacks a run of literal tokens. Both give the same bytes; LzDecompressInto
// takes the fastest this processor has, and LzDecompressIntoWith lets tests and benchmarks pick.
enum class LiteralGather {
    kPortable,  // shifts and masks on a 64-bit word; any host
    kBmi2,      // one bit-gather instruction; x86 with BMI2 where it is fast
};

// True when `gather` is compiled in and this processor runs it well.
bool LiteralGatherAvailable(LiteralGather gather);

// LzDecompressInto with the given gather, or the portable one where that is not available.
bool LzDecompressIntoWith(const std::uint8_t* stream, std::uint32_t streamSize, std::uint8_t* out,
                          std::uint32_t size, const LzProgress* progress, LiteralGather gather);

// The same into a new buffer of `size` bytes (and the slack), or null where LzDecompressInto
// returns false or memory is exhausted.
ByteBuffer LzDecompress(const std::uint8_t* stream, std::uint32_t streamSize, std::uint32_t size,
                        const LzProgress* progress = nullptr);

// How a decoding into a sink ended.
enum class LzDecodeResult {
    kOk,
    kCorrupt,     // as LzDecompressInto's false, the silent refusals included
    kNoMemory,    // the decoder's buffer could not be allocated (nothing reported)
    kSinkFailed,  // the sink refused a chunk; decoding stopped there
};

// About how much output LzDecompressTo hands to its sink at a time: its buffer holds this, the
// kWindowSize bytes that matches reach back into and one match, whatever the size of the output.
inline constexpr std::uint32_t kDecodeChunkBytes = 256 * 1024;

// LzDecompressInto that hands the output to `sink` in order, in chunks of about
// kDecodeChunkBytes (none empty), from one buffer of about kDecodeChunkBytes + 32 KiB that it
// reuses, so that its memory does not grow with `size`. On success all `size` bytes have gone to
// the sink; on failure some may have. The progress reports are those of LzDecompressInto.
LzDecodeResult LzDecompressTo(const std::uint8_t* stream, std::uint32_t streamSize,
                              std::uint32_t size, const LzProgress* progress, const LzSink& sink);

// The same with a chosen chunk size (any from 1) and gather, for tests.
LzDecodeResult LzDecompressToWith(const std::uint8_t* stream, std::uint32_t streamSize,
                                  std::uint32_t size, const LzProgress* progress,
                                  const LzSink& sink, std::uint32_t chunkBytes,
                                  LiteralGather gather);

}  // namespace cbmp
