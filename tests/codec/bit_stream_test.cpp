#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/bit_reader.h"
#include "codec/bit_writer.h"

namespace cbmp {
namespace {

std::vector<std::uint8_t> Finished(BitWriter& w) {
    EXPECT_TRUE(w.Finish());
    return {w.data(), w.data() + w.length()};
}

TEST(BitWriter, PacksFieldsLeastSignificantBitFirst) {
    BitWriter w;
    ASSERT_TRUE(w.Create(0, 0xFFFFFFFFu));
    ASSERT_TRUE(w.Put(0b101, 3));
    ASSERT_TRUE(w.Put(0xFF, 8));
    ASSERT_TRUE(w.Put(0, 2));
    ASSERT_TRUE(w.Put(1, 1));
    // Bits in stream order: 101 11111111 00 1 -> byte 0 = 0xFD, byte 1 = 0b00100111.
    EXPECT_EQ(Finished(w), (std::vector<std::uint8_t>{0xFD, 0x27}));

    BitWriter wide;
    ASSERT_TRUE(wide.Create(0, 0xFFFFFFFFu));
    ASSERT_TRUE(wide.Put(1, 1));
    ASSERT_TRUE(wide.Put(0xA1B2C3D4u, 32));  // straddles the accumulator's 32-bit flush
    ASSERT_TRUE(wide.Put(0x7FFFFFFFu, 31));
    EXPECT_EQ(Finished(wide),
              (std::vector<std::uint8_t>{0xA9, 0x87, 0x65, 0x43, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BitWriter, PadsTheLastByteWithZeroBits) {
    BitWriter w;
    ASSERT_TRUE(w.Create(0, 0xFFFFFFFFu));
    ASSERT_TRUE(w.Put(1, 1));
    EXPECT_EQ(Finished(w), (std::vector<std::uint8_t>{0x01}));
    BitWriter empty;
    ASSERT_TRUE(empty.Create(0, 0xFFFFFFFFu));
    EXPECT_TRUE(Finished(empty).empty());
}

TEST(BitWriter, GrowsPastItsFirstBufferAndKeepsEveryByte) {
    BitWriter w;
    ASSERT_TRUE(w.Create(0, 0xFFFFFFFFu));
    ASSERT_EQ(w.capacity(), BitWriter::kInitialCapacity);
    for (std::uint32_t i = 0; i < 70000; ++i) {
        ASSERT_TRUE(w.Put(i & 0xFF, 8));
    }
    const auto bytes = Finished(w);
    ASSERT_EQ(bytes.size(), 70000u);
    for (std::uint32_t i = 0; i < 70000; ++i) {
        ASSERT_EQ(bytes[i], i & 0xFF) << "at byte " << i;
    }
}

TEST(BitWriter, SizedForTheWholeStreamNeverGrows) {
    BitWriter w;
    ASSERT_TRUE(w.Create(100000, 0xFFFFFFFFu));
    const std::uint8_t* first = w.data();
    for (std::uint32_t i = 0; i < 100000; ++i) {
        ASSERT_TRUE(w.Put(i & 0xFF, 8));
    }
    ASSERT_TRUE(w.Finish());
    EXPECT_EQ(w.data(), first);
    EXPECT_EQ(w.capacity(), 100000u);
}

TEST(BitWriter, RefusesToGrowPastItsLimit) {
    BitWriter w;
    ASSERT_TRUE(w.Create(0, 3));
    ASSERT_TRUE(w.Put(0xABCD, 16));
    ASSERT_TRUE(w.Put(0x7F, 7));
    ASSERT_TRUE(w.Put(1, 1));
    EXPECT_TRUE(w.Finish());  // exactly three bytes fit
    EXPECT_EQ(w.length(), 3u);

    BitWriter over;
    ASSERT_TRUE(over.Create(0, 3));
    ASSERT_TRUE(over.Put(0xABCDEF, 24));
    EXPECT_FALSE(over.Put(0xFF, 8));  // the fourth byte is flushed at once and does not fit

    BitWriter tail;
    ASSERT_TRUE(tail.Create(0, 3));
    ASSERT_TRUE(tail.Put(0xABCDEF, 24));
    ASSERT_TRUE(tail.Put(1, 1));
    EXPECT_FALSE(tail.Finish());  // a 25th bit needs a fourth byte
}

TEST(BitReader, ReadsBackRandomFieldsOfEveryWidth) {
    std::mt19937 rng(7);
    std::vector<std::pair<std::uint32_t, std::uint8_t>> fields;
    BitWriter w;
    ASSERT_TRUE(w.Create(0, 0xFFFFFFFFu));
    for (int i = 0; i < 5000; ++i) {
        const auto width = static_cast<std::uint8_t>(1 + rng() % 32);
        const std::uint32_t value = width == 32
                                        ? static_cast<std::uint32_t>(rng())
                                        : static_cast<std::uint32_t>(rng()) & ((1u << width) - 1);
        fields.emplace_back(value, width);
        ASSERT_TRUE(w.Put(value, width));
    }
    ASSERT_TRUE(w.Finish());
    BitReader r(w.data(), w.length());
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
    EXPECT_FALSE(r.Get(8, v));    // only 7 bits remain
    EXPECT_EQ(r.position(), 9u);  // a refused read consumes nothing
    ASSERT_TRUE(r.Get(7, v));
    EXPECT_EQ(v, 0x40u);
    EXPECT_FALSE(r.Get(1, v));

    BitReader empty(nullptr, 0);
    EXPECT_FALSE(empty.Get(1, v));
}

}  // namespace
}  // namespace cbmp
