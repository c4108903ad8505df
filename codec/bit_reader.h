// BitReader: the unpacking counterpart of BitWriter, bounded by the length of its stream.
#pragma once

#include <cstdint>

namespace cbmp {

struct BitReader {
    const std::uint8_t* data = nullptr;
    std::uint64_t bitLimit = 0;  // 8 x the stream length: no bit at or past it is ever read
    std::uint64_t position = 0;  // next bit to read

    BitReader(const std::uint8_t* stream, std::uint32_t streamSize)
        : data(stream), bitLimit(std::uint64_t{streamSize} * 8) {}

    // Reads the next `width` bits (1 to 32); the first bit read becomes bit 0 of `value`.
    // Returns false, consuming nothing, when fewer than `width` bits remain.
    bool Get(std::uint8_t width, std::uint32_t& value) {
        if (bitLimit - position < width) {
            return false;
        }
        std::uint32_t result = 0;
        for (std::uint8_t i = 0; i < width; ++i) {
            const std::uint32_t bit = (data[position / 8] >> (position % 8)) & 1u;
            result |= bit << i;
            ++position;
        }
        value = result;
        return true;
    }
};

}  // namespace cbmp
