// Builds BMP files in memory: the headers from a few fields, then a colour-table block (palette,
// extra info-header bytes, masks or a gap: whatever lies between byte 54 and the pixels) and the
// pixel bytes. Stated sizes follow the blocks unless overridden, so hostile files are easy too.
#pragma once

#include <cstdint>
#include <optional>

#include "tests/support/data_generator.h"

namespace cbmp::testing {

struct BmpFields {
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

inline Bytes BuildBmp(const BmpFields& fields) {
    const auto offBits = static_cast<std::uint32_t>(54 + fields.colourBlock.size());
    const auto size = static_cast<std::uint32_t>(offBits + fields.pixels.size());
    Bytes out;
    out.push_back('B');
    out.push_back('M');
    PutLE(out, fields.bfSize.value_or(size), 4);
    PutLE(out, fields.reserved1, 2);
    PutLE(out, fields.reserved2, 2);
    PutLE(out, fields.bfOffBits.value_or(offBits), 4);
    PutLE(out, fields.infoSize, 4);
    PutLE(out, static_cast<std::uint32_t>(fields.width), 4);
    PutLE(out, static_cast<std::uint32_t>(fields.height), 4);
    PutLE(out, fields.planes, 2);
    PutLE(out, fields.bitCount, 2);
    PutLE(out, fields.compression, 4);
    PutLE(out, fields.sizeImage, 4);
    PutLE(out, static_cast<std::uint32_t>(fields.xPelsPerMeter), 4);
    PutLE(out, static_cast<std::uint32_t>(fields.yPelsPerMeter), 4);
    PutLE(out, fields.clrUsed, 4);
    PutLE(out, fields.clrImportant, 4);
    out.insert(out.end(), fields.colourBlock.begin(), fields.colourBlock.end());
    out.insert(out.end(), fields.pixels.begin(), fields.pixels.end());
    return out;
}

// The layouts that real programs write and that a reader must carry whole.
inline BmpFields V5HeaderBmp() {  // 124-byte info header, 8-bit with a 256-entry palette
    BmpFields fields;
    fields.infoSize = 124;
    fields.bitCount = 8;
    fields.width = 16;
    fields.height = 8;
    fields.colourBlock = RandomBytes(84 + 1024, 11);
    fields.pixels = RandomText(16 * 8, 7, 12);
    return fields;
}

inline BmpFields BitFieldsBmp() {  // 16-bit 5-6-5 with the three masks after a 40-byte header
    BmpFields fields;
    fields.bitCount = 16;
    fields.compression = 3;
    fields.colourBlock = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
    fields.pixels = RandomBytes(4 * 4 * 2, 13);
    return fields;
}

inline BmpFields PalettedTrueColourBmp() {  // 24-bit pixels with a 16-entry palette
    BmpFields fields;
    fields.clrUsed = 16;
    fields.colourBlock = RandomBytes(64, 14);
    fields.pixels = ImageLike(4, 4, 15);
    return fields;
}

inline BmpFields GapBeforePixelsBmp() {  // 8-bit, palette of 4, then 100 spare bytes
    BmpFields fields;
    fields.bitCount = 8;
    fields.clrUsed = 4;
    fields.colourBlock = RandomBytes(16 + 100, 16);
    fields.pixels = RandomText(4 * 4, 4, 17);
    return fields;
}

}  // namespace cbmp::testing
