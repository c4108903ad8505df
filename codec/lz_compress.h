// LzCompress: the greedy LZ77 encoder that writes the compressed stream of lz_format.h.
#pragma once

#include <cstdint>

#include "codec/byte_buffer.h"

namespace cbmp {

// 16-bit hash of the first min(n, 4) bytes: h = h * 33 + b from h = 0, taken mod 65,536.
std::uint16_t Hash3(const std::uint8_t* bytes, std::uint32_t n);

// Longest match for data[pos..] among the up to 128 positions counted back from head[hash] that
// lie inside the 32 KiB window. Returns its length (0 for none, else 3 to 258) and, when it is
// not 0, its start in `matchPos`. Among equal lengths the candidate nearest to pos wins, and a
// match longer than 32 bytes ends the scan.
std::uint32_t FindLongestMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                               const std::uint32_t* head, std::uint32_t& matchPos);

// Compresses `size` bytes of `data`. Returns a new buffer of exactly `streamSize` bytes, or null
// when memory is exhausted or the stream would not fit a u32 length; `streamSize` is written only
// on success. Prints "Compressing %u bytes...", progress lines and a closing 100.0% line.
ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize);

// LzCompress with the stream capped at `maxStreamBytes`: a stream that would grow past it fails
// the call. LzCompress itself caps at the u32 limit; tests use small caps to reach that guard.
ByteBuffer LzCompressWithLimit(const std::uint8_t* data, std::uint32_t size,
                               std::uint32_t& streamSize, std::uint32_t maxStreamBytes);

}  // namespace cbmp
