#include "image/bmp_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "image/le_fields.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::BmpSpec;
using testing::BuildBmp;
using testing::Bytes;
using testing::TempDir;

// Reads `bytes` as a BMP held in memory and returns the record with what went to stderr.
BmpImagePtr ReadBytes(const Bytes& bytes, std::string* err = nullptr) {
    ::testing::internal::CaptureStderr();
    BmpImagePtr image(ReadBmpMemory(bytes.data(), bytes.size()));
    const std::string text = ::testing::internal::GetCapturedStderr();
    if (err != nullptr) {
        *err = text;
    }
    return image;
}

Bytes PayloadOf(const BmpImage& image) {
    return Bytes(image.payload.get(), image.payload.get() + image.paletteSize + image.pixelSize);
}

TEST(LittleEndianFields, ByteOrderIndependentOfHost) {
    std::uint8_t bytes[4];
    WriteU32LE(bytes, 0x12345678);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(bytes[3], 0x12);
    EXPECT_EQ(ReadU32LE(bytes), 0x12345678u);
    WriteI32LE(bytes, -2);
    EXPECT_EQ(bytes[0], 0xFE);
    EXPECT_EQ(bytes[3], 0xFF);
    EXPECT_EQ(ReadI32LE(bytes), -2);
    WriteU16LE(bytes, 0xBEEF);
    EXPECT_EQ(bytes[0], 0xEF);
    EXPECT_EQ(ReadU16LE(bytes), 0xBEEF);
}

TEST(ReadBmp, StandardLayoutsSplitPaletteAndPixels) {
    BmpSpec rgb;
    rgb.height = -4;  // top-down: the sign must survive
    rgb.pixels = testing::ImageLike(4, 4, 1);
    BmpImagePtr image = ReadBytes(BuildBmp(rgb));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize, 0u);
    EXPECT_EQ(image->Palette(), nullptr);
    EXPECT_EQ(image->pixelSize, rgb.pixels.size());
    EXPECT_EQ(image->biHeight, -4);
    EXPECT_EQ(image->biXPelsPerMeter, 2835);
    EXPECT_EQ(PayloadOf(*image), rgb.pixels);

    BmpSpec pal;
    pal.bitCount = 8;
    pal.colourBlock = testing::RandomBytes(1024, 2);
    pal.pixels = testing::RandomText(16, 9, 3);
    image = ReadBytes(BuildBmp(pal));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize, 1024u);
    EXPECT_EQ(image->bfOffBits, 1078u);
    EXPECT_EQ(Bytes(image->Palette(), image->Palette() + 1024), pal.colourBlock);
    EXPECT_EQ(Bytes(image->Pixels(), image->Pixels() + 16), pal.pixels);
}

// With no usable pixel offset the palette size comes from the bit depth and the pixels follow it.
TEST(ReadBmp, OffsetBelowHeadersTakesPaletteFromBitDepth) {
    struct Case {
        std::uint16_t bitCount;
        std::uint32_t clrUsed;
        std::uint32_t palette;
    };
    for (const Case c :
         {Case{8, 0, 1024}, Case{1, 0, 8}, Case{8, 16, 64}, Case{0, 0, 4}, Case{24, 5, 0}}) {
        BmpSpec spec;
        spec.bitCount = c.bitCount;
        spec.clrUsed = c.clrUsed;
        spec.colourBlock = testing::RandomBytes(c.palette, 4);
        spec.pixels = testing::RandomBytes(10, 5);
        spec.bfOffBits = 0;
        spec.bfSize = 10;
        BmpImagePtr image = ReadBytes(BuildBmp(spec));
        ASSERT_TRUE(image) << c.bitCount;
        EXPECT_EQ(image->paletteSize, c.palette) << c.bitCount;
        EXPECT_EQ(image->pixelSize, 10u);
        EXPECT_EQ(Bytes(image->Pixels(), image->Pixels() + 10), spec.pixels);
    }
}

TEST(ReadBmp, EmptyPixelBlockIsValid) {
    BmpSpec spec;
    spec.bitCount = 8;
    spec.clrUsed = 2;
    spec.colourBlock = {1, 2, 3, 0, 4, 5, 6, 0};
    BmpImagePtr image = ReadBytes(BuildBmp(spec));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelSize, 0u);
    EXPECT_EQ(image->paletteSize, 8u);

    spec.colourBlock.clear();  // headers only: nothing at all after byte 54
    image = ReadBytes(BuildBmp(spec));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize + image->pixelSize, 0u);
    EXPECT_NE(image->payload, nullptr);
}

TEST(ReadBmp, RejectsHostileAndTruncatedFiles) {
    const Bytes good = BuildBmp(testing::PalettedTrueColourBmp());
    std::string err;
    for (std::size_t cut : {0u, 1u, 2u, 13u, 14u, 30u, 53u}) {
        EXPECT_FALSE(
            ReadBytes(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)), &err));
        EXPECT_EQ(err, "Error: Not a valid BMP file\n") << "cut at " << cut;
    }
    Bytes wrongMagic = good;
    wrongMagic[1] = 'A';
    EXPECT_FALSE(ReadBytes(wrongMagic, &err));
    EXPECT_EQ(err, "Error: Not a valid BMP file\n");

    // Cut inside the colour-table block, then inside the pixels.
    EXPECT_FALSE(ReadBytes(Bytes(good.begin(), good.begin() + 60), &err));
    EXPECT_EQ(err, "Error: Failed to read color table\n");
    EXPECT_FALSE(ReadBytes(Bytes(good.begin(), good.end() - 1), &err));
    EXPECT_EQ(err, "Error: Failed to read pixel data\n");

    BmpSpec huge;  // a palette of a billion entries, stated by a 54-byte file
    huge.bitCount = 8;
    huge.clrUsed = 0x3FFFFFFF;
    huge.bfOffBits = 0;
    EXPECT_FALSE(ReadBytes(BuildBmp(huge), &err));
    EXPECT_EQ(err, "Error: Failed to read color table\n");

    BmpSpec far;  // bfSize far beyond the end of the file
    far.pixels = {1, 2, 3};
    far.bfSize = 0xFFFFFF00;
    EXPECT_FALSE(ReadBytes(BuildBmp(far), &err));
    EXPECT_EQ(err, "Error: Failed to read pixel data\n");

    BmpSpec inverted;  // pixel offset past the stated size: fails without a message
    inverted.pixels = {1, 2, 3};
    inverted.bfOffBits = 200;
    inverted.bfSize = 100;
    EXPECT_FALSE(ReadBytes(BuildBmp(inverted), &err));
    EXPECT_EQ(err, "");
}

// A pipe has no length to check against: the payload must grow as the bytes come.
#ifndef _WIN32  // FIFOs are a POSIX file type
TEST(ReadBmp, ReadsFromFifoOfUnknownLength) {
    TempDir dir;
    const std::string fifo = dir / "in.bmp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    BmpSpec spec = testing::GapBeforePixelsBmp();
    spec.pixels = testing::RandomBytes(300000, 21);
    const Bytes whole = BuildBmp(spec);
    for (const std::size_t length : {whole.size(), whole.size() - 5}) {
        std::thread writer([&] {
            testing::WriteFileBytes(
                fifo, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
        });
        ::testing::internal::CaptureStderr();
        BmpImagePtr image(ReadBmpFile(fifo.c_str()));
        const std::string err = ::testing::internal::GetCapturedStderr();
        writer.join();
        if (length == whole.size()) {
            ASSERT_TRUE(image);
            EXPECT_EQ(PayloadOf(*image), Bytes(whole.begin() + 54, whole.end()));
        } else {
            EXPECT_FALSE(image);
            EXPECT_EQ(err, "Error: Failed to read pixel data\n");
        }
    }
}
#endif

// Every layout whose bfSize is its length comes back byte for byte.
TEST(WriteBmp, OddLayoutsRoundTripByteForByte) {
    TempDir dir;
    for (const BmpSpec& spec : {testing::V5HeaderBmp(), testing::BitFieldsBmp(),
                                testing::PalettedTrueColourBmp(), testing::GapBeforePixelsBmp()}) {
        const Bytes original = BuildBmp(spec);
        const std::string in = dir / "in.bmp";
        const std::string out = dir / "out.bmp";
        testing::WriteFileBytes(in, original);
        BmpImagePtr image(ReadBmpFile(in.c_str()));
        ASSERT_TRUE(image);
        ASSERT_EQ(WriteBmpFile(out.c_str(), image.get()), 1);
        EXPECT_EQ(testing::ReadFileBytes(out), original) << "biSize " << spec.infoSize;
    }
}

TEST(WriteBmp, RecomputesSizesFromBlocks) {
    TempDir dir;
    BmpImage image;
    image.bfType = kBmpSignature;
    image.bfSize = 999;  // stale values that must not be written
    image.bfOffBits = 999;
    image.bfReserved1 = 7;
    image.biSize = 40;
    image.biWidth = -3;
    image.payload = AllocateBytes(12);
    for (std::uint8_t i = 0; i < 12; ++i) {
        image.payload[i] = i;
    }
    image.paletteSize = 8;
    image.pixelSize = 4;
    const std::string out = dir / "out.bmp";
    ASSERT_EQ(WriteBmpFile(out.c_str(), &image), 1);
    const Bytes bytes = testing::ReadFileBytes(out);
    ASSERT_EQ(bytes.size(), 66u);
    EXPECT_EQ(ReadU32LE(&bytes[2]), 66u);
    EXPECT_EQ(ReadU16LE(&bytes[6]), 7u);
    EXPECT_EQ(ReadU32LE(&bytes[10]), 62u);
    EXPECT_EQ(ReadI32LE(&bytes[18]), -3);
    EXPECT_EQ(bytes[54], 0);
    EXPECT_EQ(bytes[65], 11);
    EXPECT_EQ(WriteBmpFile(out.c_str(), nullptr), 0);
}

TEST(WriteBmp, ReportsUncreatableOutput) {
    BmpImage image;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(WriteBmpFile("/nonexistent-dir/x.bmp", &image), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: Cannot create file /nonexistent-dir/x.bmp\n");
}

}  // namespace
}  // namespace cbmp
