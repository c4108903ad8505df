// The container written and read chunk by chunk: through files, mapped or piped, the bytes and
// the console lines are those of the same operation in memory, and failures come out in the
// same order.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <thread>

#include "codec/lz_decompress.h"
#include "image/cbmp_file.h"
#include "image/le_fields.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/console_run.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::BmpFields;
using testing::BuildBmp;
using testing::Bytes;
using testing::ConsoleRun;
using testing::Direction;
using testing::RunWithConsole;
using testing::TempDir;

// Replaces every occurrence of `from` in `text` by `to`, to compare runs that differ in a name.
std::string Renamed(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// BMP files whose payloads end in, and span, several of the decoder's chunks.
std::vector<Bytes> Samples() {
    BmpFields small;
    small.width = 3;
    small.height = 2;
    small.pixels = testing::RandomBytes(24, 5);
    BmpFields paletted;
    paletted.bitCount = 8;
    paletted.colourBlock = testing::RandomBytes(1024, 6);
    paletted.pixels = testing::Runs(kDecodeChunkBytes * 2 + 777, 30, 7);
    BmpFields large;
    large.width = 700;
    large.height = 500;
    large.pixels = testing::ImageLike(700, 500, 8);
    return {BuildBmp(BmpFields{}), BuildBmp(small), BuildBmp(paletted), BuildBmp(large)};
}

TEST(StreamedFiles, EveryRouteGivesTheBytesAndLinesOfMemory) {
    TempDir dir;
    const std::string bmpPath = dir / "in.bmp";
    const std::string cbmpPath = dir / "out.cbmp";
    const std::string backPath = dir / "back.bmp";
    for (const Bytes& bmp : Samples()) {
        const ConsoleRun inMemory = RunWithConsole(
            Direction::kCompress, core::Input::Memory(bmp.data(), bmp.size(), bmpPath.c_str()),
            core::Output::Memory());
        ASSERT_TRUE(inMemory.outcome.ok()) << inMemory.err;

        // From a mapped file to a file, the header written after the stream.
        testing::WriteFileBytes(bmpPath, bmp);
        const ConsoleRun toFile =
            RunWithConsole(Direction::kCompress, core::Input::File(bmpPath.c_str()),
                           core::Output::File(cbmpPath.c_str()));
        ASSERT_TRUE(toFile.outcome.ok()) << toFile.err;
        EXPECT_EQ(testing::ReadFileBytes(cbmpPath), inMemory.bytes);
        EXPECT_EQ(toFile.out, Renamed(inMemory.out, "created: \n", "created: " + cbmpPath + "\n"));
        EXPECT_EQ(toFile.err, "");

        const ConsoleRun back = RunWithConsole(
            Direction::kDecompress,
            core::Input::Memory(inMemory.bytes.data(), inMemory.bytes.size(), cbmpPath.c_str()),
            core::Output::Memory());
        ASSERT_TRUE(back.outcome.ok()) << back.err;
        EXPECT_EQ(back.bytes, bmp);
        const ConsoleRun backToFile =
            RunWithConsole(Direction::kDecompress, core::Input::File(cbmpPath.c_str()),
                           core::Output::File(backPath.c_str()));
        ASSERT_TRUE(backToFile.outcome.ok()) << backToFile.err;
        EXPECT_EQ(testing::ReadFileBytes(backPath), bmp);
        EXPECT_EQ(backToFile.out, back.out);
        EXPECT_EQ(dir.Entries().size(), 3u) << "no temporary file stays";
    }
}

#ifndef _WIN32
// An output that cannot be rewritten (a FIFO) gets the compressed file collected first; an input
// read through a pipe is read, not mapped; both give the same bytes.
TEST(StreamedFiles, PipesInAndOut) {
    TempDir dir;
    const Bytes bmp = Samples()[2];
    const ConsoleRun inMemory = RunWithConsole(
        Direction::kCompress, core::Input::Memory(bmp.data(), bmp.size()), core::Output::Memory());
    ASSERT_TRUE(inMemory.outcome.ok());

    const std::string in = dir / "in.fifo";
    const std::string out = dir / "out.fifo";
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    Bytes received;
    std::thread writer([&] { testing::WriteFileBytes(in, bmp); });
    std::thread reader([&] { received = testing::ReadFileBytes(out); });
    const ConsoleRun piped = RunWithConsole(Direction::kCompress, core::Input::File(in.c_str()),
                                            core::Output::File(out.c_str()));
    writer.join();
    reader.join();
    ASSERT_TRUE(piped.outcome.ok()) << piped.err;
    EXPECT_EQ(received, inMemory.bytes);

    Bytes decoded;
    std::thread cbmpWriter([&] { testing::WriteFileBytes(in, inMemory.bytes); });
    std::thread bmpReader([&] { decoded = testing::ReadFileBytes(out); });
    const ConsoleRun back = RunWithConsole(Direction::kDecompress, core::Input::File(in.c_str()),
                                           core::Output::File(out.c_str()));
    cbmpWriter.join();
    bmpReader.join();
    ASSERT_TRUE(back.outcome.ok()) << back.err;
    EXPECT_EQ(decoded, bmp);
}
#endif

// The output is opened before the codec runs, yet a failure is told where writing after the
// codec would tell it: a corrupt stream before anything about the output (and no file is left),
// an output that cannot be created after the codec's progress lines.
TEST(StreamedFiles, FailuresComeInTheOrderOfAWriteAfterTheCodec) {
    TempDir dir;
    const Bytes bmp = Samples()[3];
    const ConsoleRun good = RunWithConsole(
        Direction::kCompress, core::Input::Memory(bmp.data(), bmp.size()), core::Output::Memory());
    ASSERT_TRUE(good.outcome.ok());

    Bytes corrupt = good.bytes;
    corrupt.resize(corrupt.size() - 40);
    WriteU32LE(&corrupt[48], static_cast<std::uint32_t>(corrupt.size() - kCbmpHeaderSize));
    const std::string target = dir / "out.bmp";
    const ConsoleRun toMemory = RunWithConsole(
        Direction::kDecompress, core::Input::Memory(corrupt.data(), corrupt.size(), "c.cbmp"),
        core::Output::Memory());
    const ConsoleRun toFile = RunWithConsole(
        Direction::kDecompress, core::Input::Memory(corrupt.data(), corrupt.size(), "c.cbmp"),
        core::Output::File(target.c_str()));
    EXPECT_EQ(toFile.outcome.result, CBMPCORE_ERROR_CORRUPT_STREAM);
    EXPECT_EQ(toFile.out, toMemory.out);
    EXPECT_EQ(toFile.err, toMemory.err);
    EXPECT_TRUE(dir.Entries().empty()) << "a failed decoding leaves no file";

    const std::string nowhere = dir / "missing/out.cbmp";
    const ConsoleRun cannot =
        RunWithConsole(Direction::kCompress, core::Input::Memory(bmp.data(), bmp.size()),
                       core::Output::File(nowhere.c_str()));
    EXPECT_EQ(cannot.outcome.result, CBMPCORE_ERROR_CANNOT_CREATE);
    EXPECT_EQ(cannot.err, "Error: Cannot create file " + nowhere + "\n");
    // Every progress line of the encoder came out, up to its 100% line.
    EXPECT_EQ(cannot.out, good.out.substr(0, good.out.find("Compressed file created")));

    const ConsoleRun cannotDecode = RunWithConsole(
        Direction::kDecompress, core::Input::Memory(good.bytes.data(), good.bytes.size(), "g"),
        core::Output::File(nowhere.c_str()));
    EXPECT_EQ(cannotDecode.outcome.result, CBMPCORE_ERROR_CANNOT_CREATE);
    EXPECT_NE(cannotDecode.out.find("Decompressed file: g\n"), std::string::npos)
        << "the decoding is told before the output's failure";
}

}  // namespace
}  // namespace cbmp
