// libcbmp's entry points writing their data to the file that the host's standard output already
// writes to: the data comes out clean and whole, the lines that would have gone there go to the
// standard error stream, and the return codes and error lines stay as they are. Each call runs in
// a child process whose standard output is a pipe or a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "library/cbmp.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/standard_output.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::RunWithStandardOutput;
using testing::StandardOutput;
using testing::TempDir;

using EntryPoint = int (*)(const cbmp_path_char*, const cbmp_path_char*);

std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// The call's return code as the child's exit code: 999 is 0, 1 is 1, anything else 2. The host
// prints `hostLine` on its standard output first, left in the stream's buffer.
testing::StandardOutputRun Call(StandardOutput kind, const std::string& file, EntryPoint entry,
                                const std::string& input, const std::string& output,
                                const char* hostLine = "") {
    return RunWithStandardOutput(kind, file, [&] {
        std::fputs(hostLine, stdout);
        const int result = entry(Wide(input).c_str(), Wide(output).c_str());
        return result == 999 ? 0 : result == 1 ? 1 : 2;
    });
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

TEST(LibraryStandardOutput, BothEntryPointsIntoPipesAndFiles) {
    TempDir dir;
    testing::BmpFields fields;
    fields.width = 160;
    fields.height = 120;
    fields.pixels = testing::ImageLike(160 * 3, 120, 5);
    const std::string bmp = dir / "in.bmp";
    testing::WriteFileBytes(bmp, testing::BuildBmp(fields));
    const std::string cbmp = dir / "plain.cbmp";
    const std::string back = dir / "plain.bmp";
    const std::string console = dir / "console";
    const auto packed = Call(StandardOutput::kFile, console, BMPCompact, bmp, cbmp);
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    ASSERT_NE(packed.data.find("Compression successful!\n"), std::string::npos) << packed.data;
    const auto unpacked = Call(StandardOutput::kFile, console, BMPDecompact, cbmp, back);
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    ASSERT_EQ(testing::ReadWholeFile(back), testing::ReadWholeFile(bmp));

    struct Plain {
        const char* name;
        EntryPoint entry;
        std::string input;
        std::string output;
        std::string lines;  // what the call printed on a standard output of its own
    };
    const Plain plains[] = {{"BMPCompact", BMPCompact, bmp, cbmp, packed.data},
                            {"BMPDecompact", BMPDecompact, cbmp, back, unpacked.data}};
    const std::string sink = dir / "sink";
    for (const Plain& plain : plains) {
        const std::string expected = testing::ReadWholeFile(plain.output);
        for (const StandardOutput kind : {StandardOutput::kPipe, StandardOutput::kFile}) {
            for (const std::string name : {"/dev/stdout", "/proc/self/fd/1"}) {
                const std::string label = std::string(plain.name) + " to " + name + " on a " +
                                          (kind == StandardOutput::kPipe ? "pipe" : "file");
                const auto r = Call(kind, sink, plain.entry, plain.input, name);
                EXPECT_EQ(r.exitCode, 0) << label << ": " << r.err;
                EXPECT_TRUE(r.data == expected) << label << ": " << r.data.size() << " bytes";
                EXPECT_EQ(r.err, Replaced(plain.lines, plain.output, name)) << label;
            }
        }
    }

    // What the host printed before the call comes before the data.
    const auto hosted =
        Call(StandardOutput::kPipe, sink, BMPCompact, bmp, "/dev/stdout", "host line\n");
    EXPECT_EQ(hosted.exitCode, 0) << hosted.err;
    EXPECT_TRUE(hosted.data == "host line\n" + testing::ReadWholeFile(cbmp))
        << hosted.data.substr(0, 16);

    // A failure: the same return code and error lines, and nothing in the data.
    const auto r = Call(StandardOutput::kPipe, sink, BMPDecompact, bmp, "/dev/stdout");
    EXPECT_EQ(r.exitCode, 0);  // 999: the decompression ran
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(r.err, "Error: Not a valid CBMP file\nError: Decompression failed\n");
}

}  // namespace
}  // namespace cbmp
