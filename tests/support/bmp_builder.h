// Builds BMP files in memory: the headers from a few fields, then a colour-table block (palette,
// extra info-header bytes, masks or a gap: whatever lies between byte 54 and the pixels) and the
// pixel bytes. Stated sizes follow the blocks unless overridden, so hostile files are easy too.
#pragma once

#include <cstdint>
#include <optional>

#include "tests/support/data_generator.h"

namespace cbmp::testing {

struct BmpSpec {
    std::uint32_t infoSize = 40;
    std::int32_t width = 4;
    std::int32_t height = 4;
    std::uint16_t planes = 1;
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t sizeImage = 0;
    std::int32_t xPelsPerMeter = 2835;
    std::int32_t yPelsPerMeter = 2835;
    std::uint32_t clrUsed = 0;
    std::uint32_t clrImportant = 0;
    Bytes colourBlock;  // bytes 54 .. bfOffBits
    Bytes pixels;       // bfOffBits .. bfSize
    std::optional<std::uint32_t> bfSize;
    std::optional<std::uint32_t> bfOffBits;
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
};

inline void PutLE(Bytes& out, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
    }
}

inline Bytes BuildBmp(const BmpSpec& spec) {
    const auto offBits = static_cast<std::uint32_t>(54 + spec.colourBlock.size());
    const auto size = static_cast<std::uint32_t>(offBits + spec.pixels.size());
    Bytes out;
    out.push_back('B');
    out.push_back('M');
    PutLE(out, spec.bfSize.value_or(size), 4);
    PutLE(out, spec.reserved1, 2);
    PutLE(out, spec.reserved2, 2);
    PutLE(out, spec.bfOffBits.value_or(offBits), 4);
    PutLE(out, spec.infoSize, 4);
    PutLE(out, static_cast<std::uint32_t>(spec.width), 4);
    PutLE(out, static_cast<std::uint32_t>(spec.height), 4);
    PutLE(out, spec.planes, 2);
    PutLE(out, spec.bitCount, 2);
    PutLE(out, spec.compression, 4);
    PutLE(out, spec.sizeImage, 4);
    PutLE(out, static_cast<std::uint32_t>(spec.xPelsPerMeter), 4);
    PutLE(out, static_cast<std::uint32_t>(spec.yPelsPerMeter), 4);
    PutLE(out, spec.clrUsed, 4);
    PutLE(out, spec.clrImportant, 4);
    out.insert(out.end(), spec.colourBlock.begin(), spec.colourBlock.end());
    out.insert(out.end(), spec.pixels.begin(), spec.pixels.end());
    return out;
}

// The layouts that real programs write and that a reader must carry whole.
inline BmpSpec V5HeaderBmp() {  // 124-byte info header, 8-bit with a 256-entry palette
    BmpSpec spec;
    spec.infoSize = 124;
    spec.bitCount = 8;
    spec.width = 16;
    spec.height = 8;
    spec.colourBlock = RandomBytes(84 + 1024, 11);
    spec.pixels = RandomText(16 * 8, 7, 12);
    return spec;
}

inline BmpSpec BitFieldsBmp() {  // 16-bit 5-6-5 with the three masks after a 40-byte header
    BmpSpec spec;
    spec.bitCount = 16;
    spec.compression = 3;
    spec.colourBlock = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
    spec.pixels = RandomBytes(4 * 4 * 2, 13);
    return spec;
}

inline BmpSpec PalettedTrueColourBmp() {  // 24-bit pixels with a 16-entry palette
    BmpSpec spec;
    spec.clrUsed = 16;
    spec.colourBlock = RandomBytes(64, 14);
    spec.pixels = ImageLike(4, 4, 15);
    return spec;
}

inline BmpSpec GapBeforePixelsBmp() {  // 8-bit, palette of 4, then 100 spare bytes
    BmpSpec spec;
    spec.bitCount = 8;
    spec.clrUsed = 4;
    spec.colourBlock = RandomBytes(16 + 100, 16);
    spec.pixels = RandomText(4 * 4, 4, 17);
    return spec;
}

}  // namespace cbmp::testing
