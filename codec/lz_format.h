// The compressed stream: constants shared by the encoder and the decoder.
//
// A stream is, LSB-first (see bit_writer.h):
//   32 bits   length of the uncompressed data
//   tokens    literal: flag 0 (1 bit), byte (8 bits)                         =  9 bits
//             match:   flag 1 (1 bit), distance - 1 (15 bits), length - 3 (8) = 24 bits
//   end       flag 1, then 16 zero bits (kEndMarker)                         = 17 bits
//   padding   zero bits up to the next byte boundary
// A zero distance field can only be the end marker, which is why distance 1 has no encoding.
#pragma once

#include <cstdint>

namespace cbmp {

inline constexpr std::uint32_t kWindowSize = 32768;  // farthest distance a match reaches back
inline constexpr std::uint32_t kMinMatch = 3;
inline constexpr std::uint32_t kMaxMatch = 258;        // kMinMatch + 255
inline constexpr std::uint32_t kMinDistance = 2;       // distance 1 would encode as the end marker
inline constexpr std::uint32_t kGoodEnoughMatch = 32;  // a longer match ends the candidate scan
inline constexpr std::uint32_t kMaxCandidates = 128;   // candidates examined per position
inline constexpr std::uint32_t kHashSize = 65536;      // head-table entries, one per hash value
inline constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;

inline constexpr std::uint8_t kLengthFieldBits = 32;
inline constexpr std::uint8_t kLiteralBits = 9;
inline constexpr std::uint8_t kMatchBits = 24;
inline constexpr std::uint8_t kDistanceFieldBits = 15;
inline constexpr std::uint8_t kLengthCodeBits = 8;

// The end marker as one 17-bit field: the flag bit 1 followed by sixteen zero bits.
inline constexpr std::uint32_t kEndMarker = 1;
inline constexpr std::uint8_t kEndMarkerBits = 17;

// Size of the stream that a payload of `size` bytes gives when every byte is a literal: the
// largest stream any payload of that size can give, since a match (24 bits for 3 or more bytes)
// never costs more than the literals it replaces.
inline constexpr std::uint64_t WorstCaseStreamSize(std::uint32_t size) {
    return (std::uint64_t{kLiteralBits} * size + kLengthFieldBits + kEndMarkerBits + 7) / 8;
}

// The most bytes a stream of `streamSize` bytes can decode to: after the 32-bit length field,
// every 24 bits can be a match of 258 bytes (86 bytes a stream byte), and the leftover bits of a
// partial token can still hold up to two literals' worth.
inline constexpr std::uint64_t MaxDecodedSize(std::uint32_t streamSize) {
    return streamSize < 4 ? 0 : 86 * (std::uint64_t{streamSize} - 4) + 2;
}

}  // namespace cbmp
