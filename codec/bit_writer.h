// BitWriter: packs LSB-first bit fields through a 64-bit accumulator.
//
// Stream bit n lives in byte n / 8 at bit position n % 8 (0 = least significant), and a field of
// width w holding v occupies w consecutive stream bits, least significant bit of v first. Fields
// gather in `acc` and leave it four whole bytes at a time, so a token costs one call whatever its
// width. Bytes are stored one by one, least significant first, whatever the host's byte order.
#pragma once

#include <algorithm>
#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/byte_order.h"

namespace cbmp {

class BitWriter {
  public:
    static constexpr std::uint32_t kInitialCapacity = 65536;

    // Prepares an empty stream of at most `maxBytes` bytes, with room for `expectedBytes` up
    // front (clamped to [64 KiB, maxBytes]): a writer sized for the whole stream never grows.
    // Returns false when memory is exhausted.
    // When that much room cannot be had, it starts at 64 KiB and grows as the stream does, so
    // that a stream which fits is never refused for its expected size.
    bool Create(std::uint32_t expectedBytes, std::uint32_t maxBytes) {
        maxBytes_ = maxBytes;
        length_ = 0;
        acc_ = 0;
        accBits_ = 0;
        for (const std::uint32_t wanted :
             {std::max(expectedBytes, kInitialCapacity), kInitialCapacity}) {
            capacity_ = std::min(wanted, maxBytes);
            buffer_ = AllocateBytes(capacity_, BufferUse::kStream);
            if (buffer_ != nullptr) {
                return true;
            }
        }
        return false;
    }

    // Empties the stream, keeping the buffer (and the pages already touched) for the next one.
    void Clear() {
        length_ = 0;
        acc_ = 0;
        accBits_ = 0;
    }

    // Appends the low `width` bits of `value` (width 1 to 32; the other bits of value are 0).
    // Returns false when the stream would outgrow its limit or memory is exhausted; the writer
    // is then unusable.
    bool Put(std::uint32_t value, unsigned width) {
        acc_ |= std::uint64_t{value} << accBits_;  // accBits_ < 32 here, so nothing is lost
        accBits_ += width;
        if (accBits_ < 32) {
            return true;
        }
        if (capacity_ - length_ < 4 && !Grow(4)) {
            return false;
        }
        Store(static_cast<std::uint32_t>(acc_), 4);
        acc_ >>= 32;
        accBits_ -= 32;
        return true;
    }

    // Writes out the bits still in the accumulator, padded with zero bits to a whole byte, and
    // returns the stream's byte length. Nothing may be put afterwards.
    bool Finish() {
        const unsigned bytes = (accBits_ + 7) / 8;
        if (capacity_ - length_ < bytes && !Grow(bytes)) {
            return false;
        }
        Store(static_cast<std::uint32_t>(acc_), bytes);
        acc_ = 0;
        accBits_ = 0;
        return true;
    }

    // Appends bits [from, to) of another stream (bit n in byte n / 8 at bit position n % 8).
    // `source` must be readable for 8 bytes past byte to / 8.
    bool Append(const std::uint8_t* source, std::uint64_t from, std::uint64_t to) {
        while (to - from >= 32) {
            if (!Put(static_cast<std::uint32_t>(LoadLE64(source + from / 8) >> (from % 8)), 32)) {
                return false;
            }
            from += 32;
        }
        if (from == to) {
            return true;
        }
        const auto rest = static_cast<unsigned>(to - from);
        const std::uint64_t bits = LoadLE64(source + from / 8) >> (from % 8);
        return Put(static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << rest) - 1)), rest);
    }

    // Bits put so far.
    std::uint64_t bit_count() const { return std::uint64_t{length_} * 8 + accBits_; }

    std::uint32_t length() const { return length_; }
    std::uint32_t capacity() const { return capacity_; }
    const std::uint8_t* data() const { return buffer_.get(); }
    // Hands over the stream buffer (at least length() bytes); the writer is then empty.
    ByteBuffer Release() {
        capacity_ = 0;
        return std::move(buffer_);
    }

  private:
    void Store(std::uint32_t bits, unsigned bytes) {
        std::uint8_t* out = buffer_.get() + length_;
        for (unsigned i = 0; i < bytes; ++i) {
            out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        }
        length_ += bytes;
    }

    // Doubles the capacity (capped at the limit) until `more` bytes fit after length_.
    bool Grow(unsigned more) {
        const std::uint64_t needed = std::uint64_t{length_} + more;
        if (needed > maxBytes_) {
            return false;
        }
        std::uint64_t next = std::max<std::uint64_t>(capacity_, 1);
        while (next < needed) {
            next *= 2;
        }
        next = std::min<std::uint64_t>(next, maxBytes_);
        ByteBuffer bigger = AllocateBytes(static_cast<std::size_t>(next), BufferUse::kStream);
        if (!bigger) {
            return false;
        }
        std::copy_n(buffer_.get(), length_, bigger.get());
        buffer_ = std::move(bigger);
        capacity_ = static_cast<std::uint32_t>(next);
        return true;
    }

    ByteBuffer buffer_;
    std::uint32_t length_ = 0;    // whole bytes stored in buffer_
    std::uint32_t capacity_ = 0;  // bytes allocated
    std::uint32_t maxBytes_ = 0;  // the stream never grows past this
    std::uint64_t acc_ = 0;       // pending bits, the oldest in bit 0
    unsigned accBits_ = 0;        // pending bit count, below 32 between calls
};

}  // namespace cbmp
