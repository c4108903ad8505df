// BitReader: the unpacking counterpart of BitWriter, through a 64-bit window, bounded by the
// length of its stream: no byte at or past the end of the stream is ever read.
#pragma once

#include <cstdint>

#include "codec/byte_order.h"

namespace cbmp {

class BitReader {
  public:
    BitReader(const std::uint8_t* stream, std::uint32_t streamSize)
        : stream_(stream), size_(streamSize), bitLimit_(std::uint64_t{streamSize} * 8) {}

    // At least the next 56 bits, the next stream bit in bit 0; bits past the end read as 0.
    std::uint64_t Peek() const {
        const std::uint64_t byte = position_ / 8;
        std::uint64_t word = 0;
        if (byte + 8 <= size_) {
            word = LoadLE64(stream_ + byte);
        } else {
            for (std::uint64_t i = byte; i < size_; ++i) {
                word |= std::uint64_t{stream_[i]} << (8 * (i - byte));
            }
        }
        return word >> (position_ % 8);
    }

    // The 64 stream bits from `ahead` bits after the next one on, the first in bit 0, for a
    // reader with at least kWideBits + `ahead` bits left, which keeps the 9 bytes it loads inside
    // the stream: the fast path of the decoder, with no check of the stream's end. `ahead` is a
    // multiple of 8.
    static constexpr unsigned kWideBits = 72;
    std::uint64_t PeekWide(unsigned ahead = 0) const {
        const std::uint8_t* bytes = stream_ + position_ / 8 + ahead / 8;
        const unsigned shift = position_ % 8;
        // The ninth byte supplies the bits that the shift pushed out of the first eight; the
        // double shift keeps the shift count below 64 when there is nothing to supply.
        return LoadLE64(bytes) >> shift | std::uint64_t{bytes[8]} << 1 << (63 - shift);
    }

    // True when `bits` more bits remain in the stream.
    bool Has(unsigned bits) const { return bitLimit_ - position_ >= bits; }

    std::uint64_t Remaining() const { return bitLimit_ - position_; }

    void Skip(unsigned bits) { position_ += bits; }

    // Reads the next `width` bits (1 to 32), the first read becoming bit 0 of `value`. Returns
    // false, consuming nothing, when fewer than `width` bits remain.
    bool Get(unsigned width, std::uint32_t& value) {
        if (!Has(width)) {
            return false;
        }
        value = static_cast<std::uint32_t>(Peek() & ((std::uint64_t{1} << width) - 1));
        Skip(width);
        return true;
    }

    std::uint64_t position() const { return position_; }

  private:
    const std::uint8_t* stream_;
    std::uint64_t size_;
    std::uint64_t bitLimit_;
    std::uint64_t position_ = 0;  // next bit to read
};

}  // namespace cbmp
