// LzDecompress: the decoder of the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "codec/byte_buffer.h"
#include "codec/lz_progress.h"

namespace cbmp {

// Decodes `stream` (`streamSize` bytes) into a new buffer of exactly `size` bytes, the size the
// caller expects; the stream's own length field is skipped. Decoding stops after `size` bytes,
// even inside a match. Returns null, the stream being corrupt, when it would read past its end,
// ends (end marker) before `size` bytes, or has a match reaching before the start of the output;
// returns null silently, before allocating or printing, when the stream is under 4 bytes or
// `size` exceeds what `streamSize` bytes could possibly decode to. Reports its start, a step
// wherever a token starts on a multiple of 65,536, and its end to `progress` (may be null); once
// the start is reported, the end is too, whether decoding succeeded or not.
ByteBuffer LzDecompress(const std::uint8_t* stream, std::uint32_t streamSize, std::uint32_t size,
                        const LzProgress* progress = nullptr);

}  // namespace cbmp
