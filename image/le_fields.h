// Little-endian field readers and writers. Every multi-byte integer in a BMP or CBMP file is
// little-endian; values are assembled and split byte by byte so the host's byte order never
// matters.
#pragma once

#include <cstdint>

namespace cbmp {

inline std::uint16_t ReadU16LE(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t ReadU32LE(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
           (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

// Two's complement, as stored on disk.
inline std::int32_t ReadI32LE(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>(ReadU32LE(bytes));
}

inline void WriteU16LE(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteU32LE(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    bytes[2] = static_cast<std::uint8_t>((value >> 16) & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

inline void WriteI32LE(std::uint8_t* bytes, std::int32_t value) {
    WriteU32LE(bytes, static_cast<std::uint32_t>(value));
}

}  // namespace cbmp
