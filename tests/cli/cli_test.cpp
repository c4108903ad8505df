// The tool end to end: its command line, console output and exit codes, run as a real process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/bmp_builder.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::Bytes;
using testing::RunProcess;
using testing::TempDir;

std::string Usage(const std::string& p) {
    return "BMP Compressor/Decompressor - Heavy compression using LZ77+bit-packing\n\n"
           "Usage:\n"
           "  " +
           p +
           " -c <input.bmp> <output.cbmp>     Compress BMP to CBMP\n"
           "  " +
           p +
           " -d <input.cbmp> <output.bmp>     Decompress CBMP to BMP\n"
           "  " +
           p +
           " -h                                Show this help\n"
           "\nExamples:\n"
           "  " +
           p +
           " -c image.bmp image.cbmp\n"
           "  " +
           p + " -d image.cbmp image_restored.bmp\n";
}

TEST(CliArguments, HelpMissingAndUnknownModes) {
    const std::string exe = CBMP_EXE;
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    };
    const Case cases[] = {
        {{}, 1, ""},
        {{"-h"}, 0, ""},
        {{"-h", "a", "b", "c"}, 0, ""},
        {{"--help"}, 0, ""},
        {{"-c", "in.bmp"}, 1, "Error: Missing arguments\n"},
        {{"-d"}, 1, "Error: Missing arguments\n"},
        {{"-x", "a", "b"}, 1, "Error: Unknown mode '-x'\n"},
        {{"-C", "a", "b"}, 1, "Error: Unknown mode '-C'\n"},
        {{"--HELP", "a", "b"}, 1, "Error: Unknown mode '--HELP'\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProcess(argv);
        const std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.exitCode, c.code) << label;
        EXPECT_EQ(r.out, Usage(exe)) << label;
        EXPECT_EQ(r.err, c.err) << label;
    }
}

TEST(CliRuns, WorkedExampleConsoleAndFiles) {
    TempDir dir;
    testing::BmpFields fields;
    fields.width = 2;
    fields.height = 2;
    fields.sizeImage = 16;
    fields.pixels = {0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00,
                     0xff, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
    const std::string bmp = dir / "ex.bmp";
    const std::string cbmp = dir / "ex.cbmp";
    const std::string back = dir / "back.bmp";
    testing::WriteFileBytes(bmp, testing::BuildBmp(fields));

    auto r = RunProcess({CBMP_EXE, "-c", bmp, cbmp, "ignored"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Compressing: " + bmp + " -> " + cbmp +
                         "\nCompressing 16 bytes...\n"
                         "  Progress: 0/16 (0.0%)\r  Progress: 16/16 (100.0%)\n"
                         "Compressed file created: " +
                         cbmp +
                         "\nOriginal size: 16 bytes\nCompressed size: 23 bytes\n"
                         "Compression ratio: 143.75%\nCompression successful!\n");
    EXPECT_EQ(std::filesystem::file_size(cbmp), 83u);

    r = RunProcess({CBMP_EXE, "-d", cbmp, back});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Decompressing: " + cbmp + " -> " + back +
                         "\nDecompressing 16 bytes...\n"
                         "  Progress: 0/16 (0.0%)\r  Progress: 16/16 (100.0%)\n"
                         "Decompressed file: " +
                         cbmp +
                         "\nCompressed size: 23 bytes\nOriginal size: 16 bytes\n"
                         "Decompression successful!\n");
    EXPECT_EQ(testing::ReadFileBytes(back), testing::ReadFileBytes(bmp));
}

TEST(CliRuns, SampleImageRoundTrips) {
    TempDir dir;
    const std::string cbmp = dir / "sample.cbmp";
    const std::string back = dir / "sample.bmp";
    const Bytes original = testing::ReadFileBytes(CBMP_SAMPLE_BMP);
    ASSERT_GT(original.size(), 54u);
    ASSERT_EQ(RunProcess({CBMP_EXE, "-c", CBMP_SAMPLE_BMP, cbmp}).exitCode, 0);
    EXPECT_LT(std::filesystem::file_size(cbmp), original.size());
    ASSERT_EQ(RunProcess({CBMP_EXE, "-d", cbmp, back}).exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(back), original);
}

// Every hostile or truncated input gives its error lines, exit code 1 and no output file.
TEST(CliRuns, HostileInputsFailCleanly) {
    TempDir dir;
    const Bytes good = testing::BuildBmp(testing::PalettedTrueColourBmp());
    testing::BmpFields huge;
    huge.bitCount = 8;
    huge.clrUsed = 0x3FFFFFFF;
    huge.bfOffBits = 0;
    testing::BmpFields far;
    far.pixels = {1, 2, 3};
    far.bfSize = 0xFFFFFF00;

    const std::string readFail = "Error: Failed to read BMP file\n";
    struct BmpCase {
        const char* name;
        Bytes bytes;
        std::string err;
    };
    const BmpCase bmpCases[] = {
        {"empty", {}, "Error: Not a valid BMP file\n" + readFail},
        {"cut-file-header", Bytes(good.begin(), good.begin() + 10),
         "Error: Not a valid BMP file\n" + readFail},
        {"cut-info-header", Bytes(good.begin(), good.begin() + 40),
         "Error: Not a valid BMP file\n" + readFail},
        {"cut-palette", Bytes(good.begin(), good.begin() + 70),
         "Error: Failed to read color table\n" + readFail},
        {"cut-pixels", Bytes(good.begin(), good.end() - 3),
         "Error: Failed to read pixel data\n" + readFail},
        {"huge-clrused", testing::BuildBmp(huge), "Error: Failed to read color table\n" + readFail},
        {"far-bfsize", testing::BuildBmp(far), "Error: Failed to read pixel data\n" + readFail},
    };
    for (const BmpCase& c : bmpCases) {
        const std::string in = dir / c.name;
        const std::string out = dir / "out.cbmp";
        testing::WriteFileBytes(in, c.bytes);
        const auto r = RunProcess({CBMP_EXE, "-c", in, out});
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.out, "Compressing: " + in + " -> " + out + "\n") << c.name;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
    }

    const std::string decFail = "Error: Decompression failed\n";
    auto header = [](std::uint32_t compressed, std::uint32_t original, std::uint32_t palette) {
        Bytes b = {'C', 'B', 'M', 'P', 1, 0, 0, 0, 40};
        b.resize(48);
        testing::PutLE(b, compressed, 4);
        testing::PutLE(b, original, 4);
        testing::PutLE(b, palette, 4);
        return b;
    };
    Bytes sevenByteStream = header(7, 0xFFFFFFFF, 0);
    const Bytes emptyStream = {0, 0, 0, 0, 0x80, 0, 0};
    sevenByteStream.insert(sevenByteStream.end(), emptyStream.begin(), emptyStream.end());
    Bytes paletteTooBig = header(7, 4, 8);
    paletteTooBig.insert(paletteTooBig.end(), emptyStream.begin(), emptyStream.end());
    Bytes version2 = header(0, 0, 0);
    version2[4] = 2;
    const BmpCase cbmpCases[] = {
        {"not-cbmp", good, "Error: Not a valid CBMP file\n" + decFail},
        {"short-magic", {'C', 'B'}, "Error: Not a valid CBMP file\n" + decFail},
        {"version-2", version2, "Error: Unsupported CBMP version\n" + decFail},
        {"cut-header", Bytes(sevenByteStream.begin(), sevenByteStream.begin() + 30),
         "Error: Not a valid CBMP file\n" + decFail},
        {"huge-compressed", header(0xFFFFFFF0, 100, 0),
         "Error: Failed to read compressed data\n" + decFail},
        {"huge-original", sevenByteStream, decFail + decFail},
        {"palette-too-big", paletteTooBig, decFail},
    };
    for (const BmpCase& c : cbmpCases) {
        const std::string in = dir / c.name;
        const std::string out = dir / "out.bmp";
        testing::WriteFileBytes(in, c.bytes);
        const auto r = RunProcess({CBMP_EXE, "-d", in, out});
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.out, "Decompressing: " + in + " -> " + out + "\n") << c.name;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
    }

    const std::string missing = dir / "missing.bmp";
    const auto r = RunProcess({CBMP_EXE, "-c", missing, dir / "m.cbmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Cannot open file " + missing + "\n" + readFail);
    EXPECT_FALSE(std::filesystem::exists(dir / "m.cbmp"));
}

}  // namespace
}  // namespace cbmp
