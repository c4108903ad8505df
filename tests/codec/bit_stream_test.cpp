#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/bit_reader.h"
#include "codec/bit_writer.h"

namespace cbmp {
namespace {

std::vector<std::uint8_t> Written(const BitWriter& w) {
    return {w.buffer.get(), w.buffer.get() + w.byteLength};
}

TEST(BitWriter, PacksFieldsLeastSignificantBitFirst) {
    BitWriter w;
    ASSERT_TRUE(w.Create());
    ASSERT_TRUE(w.Put(0b101, 3));
    ASSERT_TRUE(w.Put(0xFF, 8));
    ASSERT_TRUE(w.Put(0, 2));
    ASSERT_TRUE(w.Put(1, 1));
    // Bits in stream order: 101 11111111 00 1 -> byte 0 = 0xFD, byte 1 = 0b00100111.
    EXPECT_EQ(Written(w), (std::vector<std::uint8_t>{0xFD, 0x27}));
    EXPECT_EQ(w.bitCount, 14u);
    ASSERT_TRUE(w.Put(0xA1B2C3D4u, 32));
    EXPECT_EQ(w.byteLength, (14u + 32 + 7) / 8);
}

TEST(BitWriter, KeepsBitsBeyondTheCountZero) {
    // A writer whose fresh buffer holds garbage must still leave zero padding after each put.
    BitWriter w;
    ASSERT_TRUE(w.Create());
    std::fill_n(w.buffer.get(), w.capacity, 0xFF);
    ASSERT_TRUE(w.Put(1, 1));
    EXPECT_EQ(Written(w), (std::vector<std::uint8_t>{0x01}));
    ASSERT_TRUE(w.Put(0, 9));
    EXPECT_EQ(Written(w), (std::vector<std::uint8_t>{0x01, 0x00}));
}

TEST(BitWriter, GrowsPastItsFirstBufferAndKeepsEveryByte) {
    BitWriter w;
    ASSERT_TRUE(w.Create());
    for (std::uint32_t i = 0; i < 70000; ++i) {
        ASSERT_TRUE(w.Put(i & 0xFF, 8));
    }
    ASSERT_EQ(w.byteLength, 70000u);
    EXPECT_GE(w.capacity, 70000u);
    for (std::uint32_t i = 0; i < 70000; ++i) {
        ASSERT_EQ(w.buffer[i], i & 0xFF) << "at byte " << i;
    }
}

TEST(BitWriter, RefusesToGrowPastItsLimitWithoutWriting) {
    BitWriter w;
    ASSERT_TRUE(w.Create(3));
    ASSERT_TRUE(w.Put(0xABCD, 16));
    ASSERT_TRUE(w.Put(0x7F, 7));
    EXPECT_FALSE(w.Put(0x3, 2));  // bit 24 would need a fourth byte
    EXPECT_EQ(w.bitCount, 23u);
    EXPECT_EQ(w.byteLength, 3u);
    EXPECT_TRUE(w.Put(1, 1));  // the last bit of the third byte still fits
}

TEST(BitReader, ReadsBackRandomFieldsOfEveryWidth) {
    std::mt19937 rng(7);
    std::vector<std::pair<std::uint32_t, std::uint8_t>> fields;
    BitWriter w;
    ASSERT_TRUE(w.Create());
    for (int i = 0; i < 5000; ++i) {
        const auto width = static_cast<std::uint8_t>(1 + rng() % 32);
        const std::uint32_t value =
            width == 32 ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(rng()) & ((1u << width) - 1);
        fields.emplace_back(value, width);
        ASSERT_TRUE(w.Put(value, width));
    }
    BitReader r(w.buffer.get(), w.byteLength);
    for (const auto& [value, width] : fields) {
        std::uint32_t got = 0;
        ASSERT_TRUE(r.Get(width, got));
        ASSERT_EQ(got, value);
    }
}

TEST(BitReader, NeverReadsPastTheEndOfItsStream) {
    const std::uint8_t bytes[2] = {0xFF, 0x81};
    BitReader r(bytes, 2);
    std::uint32_t v = 0;
    ASSERT_TRUE(r.Get(9, v));
    EXPECT_EQ(v, 0x1FFu);
    EXPECT_FALSE(r.Get(8, v));  // only 7 bits remain
    EXPECT_EQ(r.position, 9u);  // a refused read consumes nothing
    ASSERT_TRUE(r.Get(7, v));
    EXPECT_EQ(v, 0x40u);
    EXPECT_FALSE(r.Get(1, v));

    BitReader empty(nullptr, 0);
    EXPECT_FALSE(empty.Get(1, v));
}

}  // namespace
}  // namespace cbmp
