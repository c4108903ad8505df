#include "image/cbmp_file.h"

#include <gtest/gtest.h>

#include <string>

#include "image/le_fields.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::BmpSpec;
using testing::BuildBmp;
using testing::Bytes;
using testing::TempDir;

struct Outcome {
    int result = 0;
    std::string out;
    std::string err;
};

// Reads `bytes` as a CBMP file into `image`, capturing both console streams.
Outcome ReadCbmpBytes(const Bytes& bytes, BmpImage& image) {
    Outcome o;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    o.result = ReadCbmpMemory(bytes.data(), bytes.size(), "mem.cbmp", &image);
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

Bytes CbmpBytes(std::uint32_t compressed, std::uint32_t original, std::uint32_t palette,
                const Bytes& stream) {
    CbmpHeader header;
    header.magic = kCbmpMagic;
    header.version = kCbmpVersion;
    header.biSize = 40;
    header.compressedSize = compressed;
    header.originalSize = original;
    header.paletteSize = palette;
    Bytes bytes(kCbmpHeaderSize);
    EncodeCbmpHeader(header, bytes.data());
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    return bytes;
}

TEST(CbmpFile, WorkedExampleByteForByte) {
    BmpSpec spec;
    spec.width = 2;
    spec.height = 2;
    spec.sizeImage = 16;
    spec.pixels = {0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00,
                   0xff, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
    const Bytes bmp = BuildBmp(spec);
    ASSERT_EQ(bmp.size(), 70u);
    BmpImagePtr image(ReadBmpMemory(bmp.data(), bmp.size()));
    ASSERT_TRUE(image);

    TempDir dir;
    const std::string path = dir / "ex.cbmp";
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(WriteCbmpFile(path.c_str(), image.get()), 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const Bytes expected = {0x43, 0x42, 0x4d, 0x50, 0x01, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,
                            0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x18, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x13, 0x0b, 0x00, 0x00,
                            0x13, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x17, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x1f, 0x00, 0x00, 0x58, 0x00,
                            0x08, 0x00, 0xe0, 0xdf, 0xbf, 0x7f, 0x00, 0x00, 0x02, 0x00, 0x00};
    EXPECT_EQ(testing::ReadFileBytes(path), expected);
    EXPECT_NE(out.find("Compressed file created: " + path +
                       "\nOriginal size: 16 bytes\nCompressed size: 23 bytes\n"
                       "Compression ratio: 143.75%\n"),
              std::string::npos)
        << out;

    BmpImage back;
    const Outcome o = ReadCbmpBytes(expected, back);
    ASSERT_EQ(o.result, 1) << o.err;
    EXPECT_NE(o.out.find("Decompressed file: mem.cbmp\nCompressed size: 23 bytes\n"
                         "Original size: 16 bytes\n"),
              std::string::npos);
    const std::string restored = dir / "back.bmp";
    ASSERT_EQ(WriteBmpFile(restored.c_str(), &back), 1);
    EXPECT_EQ(testing::ReadFileBytes(restored), bmp);
}

// Every layout keeps its colour-table block as the palette and comes back whole; a full 8-bit
// palette gives the standard offsets.
TEST(CbmpFile, RoundTripsLayoutsThroughTheContainer) {
    TempDir dir;
    BmpSpec full;
    full.bitCount = 8;
    full.colourBlock = testing::RandomBytes(1024, 31);
    full.pixels = testing::Runs(5000, 40, 32);
    for (const BmpSpec& spec : {full, testing::V5HeaderBmp(), testing::BitFieldsBmp(),
                                testing::PalettedTrueColourBmp(), testing::GapBeforePixelsBmp()}) {
        const Bytes bmp = BuildBmp(spec);
        BmpImagePtr image(ReadBmpMemory(bmp.data(), bmp.size()));
        ASSERT_TRUE(image);
        const std::string path = dir / "x.cbmp";
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(WriteCbmpFile(path.c_str(), image.get()), 1);
        ::testing::internal::GetCapturedStdout();
        const Bytes cbmp = testing::ReadFileBytes(path);
        EXPECT_EQ(ReadU32LE(&cbmp[56]), spec.colourBlock.size());
        EXPECT_EQ(ReadU32LE(&cbmp[52]), spec.colourBlock.size() + spec.pixels.size());

        BmpImage back;
        ASSERT_EQ(ReadCbmpBytes(cbmp, back).result, 1);
        EXPECT_EQ(back.bfOffBits, 54 + spec.colourBlock.size());
        EXPECT_EQ(back.bfSize, bmp.size());
        const std::string restored = dir / "x.bmp";
        ASSERT_EQ(WriteBmpFile(restored.c_str(), &back), 1);
        EXPECT_EQ(testing::ReadFileBytes(restored), bmp) << "biSize " << spec.infoSize;
    }
}

TEST(CbmpFile, EmptyPayloadGivesSevenByteStreamAndNoRatio) {
    BmpImage empty;
    empty.bfType = kBmpSignature;
    TempDir dir;
    const std::string path = dir / "e.cbmp";
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(WriteCbmpFile(path.c_str(), &empty), 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Compression ratio"), std::string::npos);
    const Bytes cbmp = testing::ReadFileBytes(path);
    ASSERT_EQ(cbmp.size(), 67u);
    EXPECT_EQ(ReadU32LE(&cbmp[48]), 7u);

    BmpImage back;
    ASSERT_EQ(ReadCbmpBytes(cbmp, back).result, 1);
    EXPECT_EQ(back.paletteSize + back.pixelSize, 0u);
    EXPECT_EQ(back.bfSize, 54u);
    EXPECT_EQ(WriteCbmpFile(path.c_str(), nullptr), 0);
}

TEST(CbmpFile, RejectsBadHeadersWithTheirMessages) {
    Bytes valid = CbmpBytes(7, 0, 0, {0, 0, 0, 0, 0x80, 0, 0});
    struct Case {
        Bytes bytes;
        const char* err;
    };
    Bytes version2 = valid;
    version2[4] = 2;
    Bytes badMagic = valid;
    badMagic[3] = 'Q';
    const Case cases[] = {
        {{}, "Error: Not a valid CBMP file\n"},
        {{'C', 'B', 'M'}, "Error: Not a valid CBMP file\n"},
        {badMagic, "Error: Not a valid CBMP file\n"},
        {version2, "Error: Unsupported CBMP version\n"},
        {Bytes(valid.begin(), valid.begin() + 6), "Error: Not a valid CBMP file\n"},
        {Bytes(valid.begin(), valid.begin() + 8), "Error: Not a valid CBMP file\n"},
        {Bytes(valid.begin(), valid.begin() + 59), "Error: Not a valid CBMP file\n"},
        {Bytes(valid.begin(), valid.end() - 1), "Error: Failed to read compressed data\n"},
        {CbmpBytes(0xFFFFFFF0, 10, 0, {1, 2, 3}), "Error: Failed to read compressed data\n"},
        {CbmpBytes(7, 0xFFFFFFFF, 0, {0, 0, 0, 0, 0x80, 0, 0}), "Error: Decompression failed\n"},
        {CbmpBytes(0, 0, 0, {}), "Error: Decompression failed\n"},
        {CbmpBytes(3, 0, 0, {0, 0, 0}), "Error: Decompression failed\n"},
        {CbmpBytes(7, 4, 8, {4, 0, 0, 0, 0x80, 0, 0}), ""},  // palette beyond the payload
    };
    for (const Case& c : cases) {
        BmpImage image;
        const Outcome o = ReadCbmpBytes(c.bytes, image);
        EXPECT_EQ(o.result, 0) << c.err;
        EXPECT_EQ(o.err, c.err) << "size " << c.bytes.size();
        EXPECT_EQ(o.out, "") << c.err;  // the decoder never started
        EXPECT_EQ(image.payload, nullptr);
    }
}

TEST(CbmpFile, ReportsMissingInput) {
    BmpImage image;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ReadCbmpFile("/nonexistent/in.cbmp", &image), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: Cannot open file /nonexistent/in.cbmp\n");
    EXPECT_EQ(ReadCbmpFile("/nonexistent/in.cbmp", nullptr), 0);
}

}  // namespace
}  // namespace cbmp
