#include "image/bmp_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include <cstring>

#include "console/messages.h"
#include "image/le_fields.h"
#include "io/input_source.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/console_run.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::BmpFields;
using testing::BuildBmp;
using testing::Bytes;
using testing::TempDir;

// The line the front ends print for what reading found ("" for success or a silent cause).
std::string LineFor(ImageStatus status) {
    return console::FailureLine(core::Failure{status, core::ResultOf(status), nullptr});
}

// Parses `source` into a new record; `err` gets the line the front ends print for the outcome.
BmpImagePtr ReadFrom(InputSource& source, std::string* err) {
    BmpImagePtr image(CreateBmpImage());
    const ImageStatus status = ReadBmp(source, *image);
    if (err != nullptr) {
        *err = LineFor(status);
    }
    if (status != ImageStatus::kOk) {
        EXPECT_EQ(image->PayloadBytes(), nullptr);  // a failure leaves no buffer behind
        return nullptr;
    }
    return image;
}

// Reads `bytes` as a BMP held in memory. The record borrows memory that does not outlive this
// call, so its payload is copied into a buffer of its own.
BmpImagePtr ReadBytes(const Bytes& bytes, std::string* err = nullptr) {
    InputSource source = MemorySource(bytes.data(), bytes.size());
    BmpImagePtr image = ReadFrom(source, err);
    if (image) {
        EXPECT_EQ(image->PayloadBytes(), bytes.data() + 54);  // memory is not copied
        image->payload = AllocateBytes(image->PayloadSize());
        std::memcpy(image->payload.get(), image->borrowed, image->PayloadSize());
        image->borrowed = nullptr;
    }
    return image;
}

// The colour-table block and the pixel block of a record.
Bytes PaletteOf(const BmpImage& image) {
    return Bytes(image.PayloadBytes(), image.PayloadBytes() + image.paletteSize);
}

Bytes PixelsOf(const BmpImage& image) {
    return Bytes(image.PayloadBytes() + image.paletteSize,
                 image.PayloadBytes() + image.PayloadSize());
}

Bytes PayloadOf(const BmpImage& image) {
    return Bytes(image.PayloadBytes(), image.PayloadBytes() + image.PayloadSize());
}

// The BMP file that the record is written as.
Bytes BmpFileOf(const BmpImage& image) {
    Bytes bytes(54);
    EncodeBmpHeaders(image, bytes.data());
    const Bytes payload = PayloadOf(image);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
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
    BmpFields rgb;
    rgb.height = -4;  // top-down: the sign must survive
    rgb.pixels = testing::ImageLike(4, 4, 1);
    BmpImagePtr image = ReadBytes(BuildBmp(rgb));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize, 0u);
    EXPECT_TRUE(PaletteOf(*image).empty());
    EXPECT_EQ(image->pixelSize, rgb.pixels.size());
    EXPECT_EQ(image->info.biHeight, -4);
    EXPECT_EQ(image->info.biXPelsPerMeter, 2835);
    EXPECT_EQ(PayloadOf(*image), rgb.pixels);

    BmpFields pal;
    pal.bitCount = 8;
    pal.colourBlock = testing::RandomBytes(1024, 2);
    pal.pixels = testing::RandomText(16, 9, 3);
    image = ReadBytes(BuildBmp(pal));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize, 1024u);
    EXPECT_EQ(image->bfOffBits, 1078u);
    EXPECT_EQ(PaletteOf(*image), pal.colourBlock);
    EXPECT_EQ(PixelsOf(*image), pal.pixels);
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
        BmpFields fields;
        fields.bitCount = c.bitCount;
        fields.clrUsed = c.clrUsed;
        fields.colourBlock = testing::RandomBytes(c.palette, 4);
        fields.pixels = testing::RandomBytes(10, 5);
        fields.bfOffBits = 0;
        fields.bfSize = 10;
        BmpImagePtr image = ReadBytes(BuildBmp(fields));
        ASSERT_TRUE(image) << c.bitCount;
        EXPECT_EQ(image->paletteSize, c.palette) << c.bitCount;
        EXPECT_EQ(image->pixelSize, 10u);
        EXPECT_EQ(PixelsOf(*image), fields.pixels);
    }
}

TEST(ReadBmp, EmptyPixelBlockIsValid) {
    BmpFields fields;
    fields.bitCount = 8;
    fields.clrUsed = 2;
    fields.colourBlock = {1, 2, 3, 0, 4, 5, 6, 0};
    BmpImagePtr image = ReadBytes(BuildBmp(fields));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelSize, 0u);
    EXPECT_EQ(image->paletteSize, 8u);

    fields.colourBlock.clear();  // headers only: nothing at all after byte 54
    image = ReadBytes(BuildBmp(fields));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->paletteSize + image->pixelSize, 0u);
    EXPECT_NE(image->PayloadBytes(), nullptr);
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

    BmpFields huge;  // a palette of a billion entries, stated by a 54-byte file
    huge.bitCount = 8;
    huge.clrUsed = 0x3FFFFFFF;
    huge.bfOffBits = 0;
    EXPECT_FALSE(ReadBytes(BuildBmp(huge), &err));
    EXPECT_EQ(err, "Error: Failed to read color table\n");

    BmpFields far;  // bfSize far beyond the end of the file
    far.pixels = {1, 2, 3};
    far.bfSize = 0xFFFFFF00;
    EXPECT_FALSE(ReadBytes(BuildBmp(far), &err));
    EXPECT_EQ(err, "Error: Failed to read pixel data\n");

    BmpFields inverted;  // pixel offset past the stated size: fails without a message
    inverted.pixels = {1, 2, 3};
    inverted.bfOffBits = 200;
    inverted.bfSize = 100;
    EXPECT_FALSE(ReadBytes(BuildBmp(inverted), &err));
    EXPECT_EQ(err, "");
}

// A pipe has no length to check against: the payload must grow as the bytes come.
TEST(ReadBmp, ReadsFromFifoOfUnknownLength) {
    TempDir dir;
    const std::string fifo = dir / "in.bmp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    BmpFields fields = testing::GapBeforePixelsBmp();
    fields.pixels = testing::RandomBytes(300000, 21);
    const Bytes whole = BuildBmp(fields);
    for (const std::size_t length : {whole.size(), whole.size() - 5}) {
        std::thread writer([&] {
            testing::WriteFileBytes(
                fifo, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
        });
        std::FILE* file = OpenInputFile(fifo.c_str());
        ASSERT_NE(file, nullptr);
        InputSource source = FileSource(file, fifo.c_str());
        std::string err;
        BmpImagePtr image = ReadFrom(source, &err);
        std::fclose(file);
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

// Every layout whose bfSize is its length comes back byte for byte.
TEST(WriteBmp, OddLayoutsRoundTripByteForByte) {
    for (const BmpFields& fields :
         {testing::V5HeaderBmp(), testing::BitFieldsBmp(), testing::PalettedTrueColourBmp(),
          testing::GapBeforePixelsBmp()}) {
        const Bytes original = BuildBmp(fields);
        BmpImagePtr image = ReadBytes(original);
        ASSERT_TRUE(image);
        EXPECT_EQ(BmpFileOf(*image), original) << "biSize " << fields.infoSize;
    }
}

TEST(WriteBmp, RecomputesSizesFromBlocks) {
    BmpImage image;
    image.bfType = kBmpSignature;
    image.bfSize = 999;  // stale values that must not be written
    image.bfOffBits = 999;
    image.bfReserved1 = 7;
    image.info.biSize = 40;
    image.info.biWidth = -3;
    image.payload = AllocateBytes(12);
    for (std::uint8_t i = 0; i < 12; ++i) {
        image.payload[i] = i;
    }
    image.paletteSize = 8;
    image.pixelSize = 4;
    const Bytes bytes = BmpFileOf(image);
    ASSERT_EQ(bytes.size(), 66u);
    EXPECT_EQ(ReadU32LE(&bytes[2]), 66u);
    EXPECT_EQ(ReadU16LE(&bytes[6]), 7u);
    EXPECT_EQ(ReadU32LE(&bytes[10]), 62u);
    EXPECT_EQ(ReadI32LE(&bytes[18]), -3);
    EXPECT_EQ(bytes[54], 0);
    EXPECT_EQ(bytes[65], 11);
}

TEST(WriteBmp, ReportsUncreatableOutput) {
    const Bytes cbmp = {'C', 'B', 'M', 'P', 1, 0, 0, 0, 40, 0, 0, 0, 0, 0,    0, 0, 0,
                        0,   0,   0,   0,   0, 0, 0, 0, 0,  0, 0, 0, 0, 0,    0, 0, 0,
                        0,   0,   0,   0,   0, 0, 0, 0, 0,  0, 0, 0, 0, 0,    7, 0, 0,
                        0,   0,   0,   0,   0, 0, 0, 0, 0,  0, 0, 0, 0, 0x80, 0, 0};
    const testing::ConsoleRun run = testing::RunWithConsole(
        testing::Direction::kDecompress, core::Input::Memory(cbmp.data(), cbmp.size(), "in"),
        core::Output::File("/nonexistent-dir/x.bmp"));
    EXPECT_EQ(run.outcome.result, CBMPCORE_ERROR_CANNOT_CREATE);
    EXPECT_EQ(run.err, "Error: Cannot create file /nonexistent-dir/x.bmp\n");
}

}  // namespace
}  // namespace cbmp
