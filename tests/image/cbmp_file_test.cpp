#include "image/cbmp_file.h"

#include <gtest/gtest.h>

#include <string>

#include "image/le_fields.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/console_run.h"
#include "tests/support/temp_dir.h"

// The container through the core's operations, with the console lines the front ends print.
namespace cbmp {
namespace {

using testing::BmpFields;
using testing::BuildBmp;
using testing::Bytes;
using testing::ConsoleRun;
using testing::Direction;
using testing::RunWithConsole;
using testing::TempDir;

// Decompresses `bytes`, a CBMP file held in memory under the name mem.cbmp, into memory.
ConsoleRun ReadCbmpBytes(const Bytes& bytes) {
    return RunWithConsole(Direction::kDecompress,
                          core::Input::Memory(bytes.data(), bytes.size(), "mem.cbmp"),
                          core::Output::Memory());
}

// Compresses the BMP file `bmp` held in memory into the file `path`, or into memory.
ConsoleRun CompressBytes(const Bytes& bmp, const char* path = nullptr) {
    return RunWithConsole(Direction::kCompress, core::Input::Memory(bmp.data(), bmp.size()),
                          path != nullptr ? core::Output::File(path) : core::Output::Memory());
}

Bytes CbmpBytes(std::uint32_t compressed, std::uint32_t original, std::uint32_t palette,
                const Bytes& stream) {
    CbmpHeader header;
    header.magic = kCbmpMagic;
    header.version = kCbmpVersion;
    header.info.biSize = 40;
    header.compressedSize = compressed;
    header.originalSize = original;
    header.paletteSize = palette;
    Bytes bytes(kCbmpHeaderSize);
    EncodeCbmpHeader(header, bytes.data());
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    return bytes;
}

TEST(CbmpFile, WorkedExampleByteForByte) {
    BmpFields fields;
    fields.width = 2;
    fields.height = 2;
    fields.sizeImage = 16;
    fields.pixels = {0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00,
                     0xff, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
    const Bytes bmp = BuildBmp(fields);
    ASSERT_EQ(bmp.size(), 70u);
    TempDir dir;
    const std::string path = dir / "ex.cbmp";
    const ConsoleRun written = CompressBytes(bmp, path.c_str());
    ASSERT_TRUE(written.outcome.ok()) << written.err;
    const std::string& out = written.out;
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

    const ConsoleRun o = ReadCbmpBytes(expected);
    ASSERT_TRUE(o.outcome.ok()) << o.err;
    EXPECT_NE(o.out.find("Decompressed file: mem.cbmp\nCompressed size: 23 bytes\n"
                         "Original size: 16 bytes\n"),
              std::string::npos);
    EXPECT_EQ(o.bytes, bmp);
}

// Every layout keeps its colour-table block as the palette and comes back whole; a full 8-bit
// palette gives the standard offsets.
TEST(CbmpFile, RoundTripsLayoutsThroughTheContainer) {
    BmpFields full;
    full.bitCount = 8;
    full.colourBlock = testing::RandomBytes(1024, 31);
    full.pixels = testing::Runs(5000, 40, 32);
    for (const BmpFields& fields :
         {full, testing::V5HeaderBmp(), testing::BitFieldsBmp(), testing::PalettedTrueColourBmp(),
          testing::GapBeforePixelsBmp()}) {
        const Bytes bmp = BuildBmp(fields);
        const ConsoleRun written = CompressBytes(bmp);
        ASSERT_TRUE(written.outcome.ok()) << written.err;
        const Bytes& cbmp = written.bytes;
        EXPECT_EQ(ReadU32LE(&cbmp[56]), fields.colourBlock.size());
        EXPECT_EQ(ReadU32LE(&cbmp[52]), fields.colourBlock.size() + fields.pixels.size());

        const ConsoleRun back = ReadCbmpBytes(cbmp);
        ASSERT_TRUE(back.outcome.ok());
        ASSERT_GE(back.bytes.size(), 54u);
        EXPECT_EQ(ReadU32LE(&back.bytes[10]), 54 + fields.colourBlock.size());
        EXPECT_EQ(ReadU32LE(&back.bytes[2]), bmp.size());
        EXPECT_EQ(back.bytes, bmp) << "biSize " << fields.infoSize;
    }
}

TEST(CbmpFile, EmptyPayloadGivesSevenByteStreamAndNoRatio) {
    const Bytes headersOnly = BuildBmp(BmpFields{});  // 24-bit, no pixels at all
    ASSERT_EQ(headersOnly.size(), 54u);
    const ConsoleRun written = CompressBytes(headersOnly);
    ASSERT_TRUE(written.outcome.ok()) << written.err;
    EXPECT_EQ(written.out.find("Compression ratio"), std::string::npos);
    const Bytes& cbmp = written.bytes;
    ASSERT_EQ(cbmp.size(), 67u);
    EXPECT_EQ(ReadU32LE(&cbmp[48]), 7u);

    const ConsoleRun back = ReadCbmpBytes(cbmp);
    ASSERT_TRUE(back.outcome.ok());
    EXPECT_EQ(back.bytes, headersOnly);
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
        const ConsoleRun o = ReadCbmpBytes(c.bytes);
        EXPECT_FALSE(o.outcome.ok()) << c.err;
        EXPECT_EQ(o.err, c.err) << "size " << c.bytes.size();
        EXPECT_EQ(o.out, "") << c.err;  // the decoder never started
        EXPECT_TRUE(o.bytes.empty());
    }
}

TEST(CbmpFile, ReportsMissingInput) {
    const ConsoleRun o = RunWithConsole(
        Direction::kDecompress, core::Input::File("/nonexistent/in.cbmp"), core::Output::Memory());
    EXPECT_EQ(o.outcome.result, CBMPCORE_ERROR_CANNOT_OPEN);
    EXPECT_EQ(o.err, "Error: Cannot open file /nonexistent/in.cbmp\n");
}

}  // namespace
}  // namespace cbmp
