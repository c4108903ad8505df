// The reference bit packer: one bit at a time into a buffer that starts at 64 KiB and doubles.
// Kept small and obviously right, as the model that the fast writer in codec/ must match.
//
// Stream bit n lives in byte n / 8 at bit position n % 8 (0 = least significant), and a field of
// width w holding v occupies w consecutive stream bits, least significant bit of v first.
#pragma once

#include <cstdint>
#include <cstring>

#include "base/byte_buffer.h"

namespace cbmp::reference {

struct BitWriter {
    static constexpr std::uint32_t kInitialCapacity = 65536;

    ByteBuffer buffer;
    std::uint32_t byteLength = 0;  // bytes of `buffer` in use
    std::uint32_t capacity = 0;    // bytes allocated
    // Bits written so far. Wider than the byte counts so that a stream that approaches the u32
    // byte limit is refused instead of wrapping this counter.
    std::uint64_t bitCount = 0;
    // The buffer never grows past this many bytes; a put that needs more fails.
    std::uint32_t maxCapacity = 0xFFFFFFFFu;

    // Allocates the first buffer. Returns false when memory is exhausted.
    bool Create(std::uint32_t limit = 0xFFFFFFFFu) {
        maxCapacity = limit;
        capacity = limit < kInitialCapacity ? limit : kInitialCapacity;
        buffer = AllocateBytes(capacity);
        byteLength = 0;
        bitCount = 0;
        return buffer != nullptr;
    }

    // Appends the low `width` bits of `value` (width 1 to 32), one bit at a time.
    // Invariant after every successful call: byteLength == (bitCount + 7) / 8, and every bit of
    // the buffer at or beyond bitCount is 0. Returns false, with nothing written, when the
    // buffer would have to grow past maxCapacity or memory is exhausted.
    bool Put(std::uint32_t value, std::uint8_t width) {
        const std::uint64_t endBytes = (bitCount + width + 7) / 8;
        if (endBytes > maxCapacity) {
            return false;
        }
        if (endBytes > capacity && !Grow(static_cast<std::uint32_t>(endBytes))) {
            return false;
        }
        for (std::uint8_t i = 0; i < width; ++i) {
            const std::uint64_t k = bitCount;
            const auto byteIndex = static_cast<std::uint32_t>(k / 8);
            if (byteIndex >= byteLength) {
                buffer[byteIndex] = 0;
                byteLength = byteIndex + 1;
            }
            const auto mask = static_cast<std::uint8_t>(1u << (k % 8));
            if ((value >> i) & 1u) {
                buffer[byteIndex] = static_cast<std::uint8_t>(buffer[byteIndex] | mask);
            } else {
                buffer[byteIndex] = static_cast<std::uint8_t>(buffer[byteIndex] & ~mask);
            }
            ++bitCount;
        }
        byteLength = static_cast<std::uint32_t>((bitCount + 7) / 8);
        return true;
    }

  private:
    // Doubles the capacity until `needed` bytes fit, capped at maxCapacity.
    bool Grow(std::uint32_t needed) {
        std::uint64_t next = capacity == 0 ? 1 : capacity;
        while (next < needed) {
            next *= 2;
        }
        if (next > maxCapacity) {
            next = maxCapacity;
        }
        ByteBuffer bigger = AllocateBytes(static_cast<std::size_t>(next));
        if (!bigger) {
            return false;
        }
        if (byteLength > 0) {
            std::memcpy(bigger.get(), buffer.get(), byteLength);
        }
        buffer = std::move(bigger);
        capacity = static_cast<std::uint32_t>(next);
        return true;
    }
};

}  // namespace cbmp::reference
