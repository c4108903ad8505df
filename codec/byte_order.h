// Unaligned little-endian loads for the hot loops, correct on hosts of either byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace cbmp {

inline std::uint64_t LoadLE64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
    }
    return v;
}

inline std::uint32_t LoadLE32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap32(v);
    }
    return v;
}

}  // namespace cbmp
