// The bitmap's 40-byte info header: the eleven fields that a BMP file carries after its file header
// and that a CBMP file carries verbatim in bytes 8 to 47. One record, used by BmpImage and
// CbmpHeader alike, with its one serialisation.
#pragma once

#include <cstdint>

namespace cbmp {

inline constexpr std::uint32_t kInfoHeaderSize = 40;

struct InfoHeader {
    std::uint32_t biSize = 0;  // as stated; never validated
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;  // negative for a top-down bitmap
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;  // carried, not interpreted
    std::uint32_t biSizeImage = 0;    // carried, not interpreted
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;  // 0 means "all"
    std::uint32_t biClrImportant = 0;
};

// The 40 bytes of `info` in BMP order, little-endian, and the reverse.
void EncodeInfoHeader(const InfoHeader& info, std::uint8_t* bytes);
InfoHeader DecodeInfoHeader(const std::uint8_t* bytes);

}  // namespace cbmp
