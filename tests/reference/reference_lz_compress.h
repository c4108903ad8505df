// The reference encoder, kept beside the tests as the model of the stream format.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"

namespace cbmp::reference {

std::uint16_t Hash3(const std::uint8_t* bytes, std::uint32_t n);

std::uint32_t FindLongestMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                               const std::uint32_t* head, std::uint32_t& matchPos);

// Same contract and progress reports as cbmp::LzCompress.
ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress = nullptr);

ByteBuffer LzCompressWithLimit(const std::uint8_t* data, std::uint32_t size,
                               std::uint32_t& streamSize, std::uint32_t maxStreamBytes,
                               const LzProgress* progress = nullptr);

}  // namespace cbmp::reference
