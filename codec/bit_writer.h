// BitWriter: packs LSB-first bit fields through a 64-bit accumulator.
//
// Stream bit n lives in byte n / 8 at bit position n % 8 (0 = least significant), and a field of
// width w holding v occupies w consecutive stream bits, least significant bit of v first. Fields
// gather in `acc` and leave it four whole bytes at a time, so a token costs one call whatever its
// width. Bytes are stored one by one, least significant first, whatever the host's byte order.
//
// A writer either keeps its whole stream in memory (a guessed segment, read back afterwards), or
// streams: each time its buffer is full it hands it to a sink and reuses it, so that its memory
// stays one chunk whatever the stream's length.
#pragma once

#include <algorithm>
#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/byte_order.h"
#include "codec/lz_sink.h"

namespace cbmp {

class BitWriter {
  public:
    // Bytes a streaming writer hands to its sink at a time (the last chunk may be shorter).
    static constexpr std::uint32_t kChunkBytes = 128u << 10;

    static constexpr std::uint32_t kInitialCapacity = 65536;

    // Prepares an empty stream kept whole in memory, of at most `maxBytes` bytes, with room for
    // `expectedBytes` up front (clamped to [64 KiB, maxBytes]): a writer sized for the whole
    // stream never grows. When that much room cannot be had, it starts at 64 KiB and grows as the
    // stream does. Returns false when memory is exhausted.
    bool Create(std::uint32_t expectedBytes, std::uint32_t maxBytes) {
        sink_ = nullptr;
        maxBytes_ = maxBytes;
        for (const std::uint32_t wanted :
             {std::max(expectedBytes, kInitialCapacity), kInitialCapacity}) {
            if (Allocate(std::min(wanted, maxBytes))) {
                return true;
            }
        }
        return false;
    }

    // Prepares an empty stream of at most `maxBytes` bytes that goes to `sink` in order, in
    // chunks of `chunkBytes` (a multiple of 4; the last chunk may be shorter), all from the thread
    // that puts the bits. Returns false when memory is exhausted. The sink must outlive the
    // writer's use.
    bool CreateStreaming(const LzSink& sink, std::uint64_t maxBytes,
                         std::uint32_t chunkBytes = kChunkBytes) {
        sink_ = &sink;
        maxBytes_ = maxBytes;
        return Allocate(chunkBytes);
    }

    // Empties the stream, keeping the buffer (and the pages already touched) for the next one.
    void Clear() {
        room_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity_, maxBytes_));
        length_ = 0;
        flushed_ = 0;
        acc_ = 0;
        accBits_ = 0;
    }

    // Appends the low `width` bits of `value` (width 1 to 32; the other bits of value are 0).
    // Returns false when the stream would outgrow its limit or its buffer, or the sink refused a
    // chunk; the writer is then unusable.
    bool Put(std::uint32_t value, unsigned width) {
        acc_ |= std::uint64_t{value} << accBits_;  // accBits_ < 32 here, so nothing is lost
        accBits_ += width;
        if (accBits_ < 32) {
            return true;
        }
        if (room_ - length_ < 4 && !MakeRoom(4)) {
            return false;
        }
        Store(static_cast<std::uint32_t>(acc_), 4);
        acc_ >>= 32;
        accBits_ -= 32;
        return true;
    }

    // Writes out the bits still in the accumulator, padded with zero bits to a whole byte, and
    // hands a streaming writer's last chunk to its sink. Nothing may be put afterwards.
    bool Finish() {
        const unsigned bytes = (accBits_ + 7) / 8;
        if (room_ - length_ < bytes && !MakeRoom(bytes)) {
            return false;
        }
        Store(static_cast<std::uint32_t>(acc_), bytes);
        acc_ = 0;
        accBits_ = 0;
        return sink_ == nullptr || Flush();
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

    // Bits put so far, those already handed to the sink included.
    std::uint64_t bit_count() const { return (flushed_ + length_) * 8 + accBits_; }
    // Bytes of the stream so far (after Finish: its length).
    std::uint64_t byte_count() const { return flushed_ + length_; }

    // Bytes in the buffer: for a writer that keeps the stream whole, the stream's bytes so far.
    std::uint32_t length() const { return length_; }
    std::uint32_t capacity() const { return capacity_; }
    const std::uint8_t* data() const { return buffer_.get(); }

  private:
    bool Allocate(std::uint32_t capacity) {
        buffer_ = AllocateBytes(capacity);
        capacity_ = buffer_ ? capacity : 0;
        Clear();
        return buffer_ != nullptr;
    }

    void Store(std::uint32_t bits, unsigned bytes) {
        std::uint8_t* out = buffer_.get() + length_;
        for (unsigned i = 0; i < bytes; ++i) {
            out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        }
        length_ += bytes;
    }

    // Makes room for `more` bytes after length_: a streaming writer hands its full buffer to the
    // sink and starts it over; a writer that keeps the stream whole doubles its buffer (capped at
    // the limit).
    bool MakeRoom(unsigned more) {
        if (flushed_ + length_ + more > maxBytes_) {
            return false;
        }
        if (sink_ != nullptr) {
            if (!Flush()) {
                return false;
            }
            room_ = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(capacity_, maxBytes_ - flushed_));
            return true;
        }
        const std::uint64_t needed = std::uint64_t{length_} + more;
        std::uint64_t next = std::max<std::uint64_t>(capacity_, 1);
        while (next < needed) {
            next *= 2;
        }
        next = std::min(next, maxBytes_);
        ByteBuffer bigger = AllocateBytes(static_cast<std::size_t>(next));
        if (!bigger) {
            return false;
        }
        std::copy_n(buffer_.get(), length_, bigger.get());
        buffer_ = std::move(bigger);
        capacity_ = static_cast<std::uint32_t>(next);
        room_ = capacity_;
        return true;
    }

    bool Flush() {
        if (length_ != 0 && !sink_->write(sink_->context, buffer_.get(), length_)) {
            return false;
        }
        flushed_ += length_;
        length_ = 0;
        return true;
    }

    ByteBuffer buffer_;
    const LzSink* sink_ = nullptr;  // null: the stream stays in buffer_
    std::uint32_t length_ = 0;      // bytes stored in buffer_ and not yet handed on
    std::uint32_t capacity_ = 0;    // bytes allocated
    std::uint32_t room_ = 0;        // bytes of buffer_ the stream may fill before the next flush
    std::uint64_t flushed_ = 0;     // bytes handed to the sink
    std::uint64_t maxBytes_ = 0;    // the stream never grows past this
    std::uint64_t acc_ = 0;         // pending bits, the oldest in bit 0
    unsigned accBits_ = 0;          // pending bit count, below 32 between calls
};

}  // namespace cbmp
