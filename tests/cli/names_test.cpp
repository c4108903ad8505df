// What a newcomer tries first: the version, and file names beyond ASCII. On Windows the tool
// takes its UTF-16 command line, so a name that the ANSI code page cannot spell still works.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunProcess;
using testing::TempDir;

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

Bytes ReadPath(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CliVersion, PrintsNameAndVersionAndSucceeds) {
    for (const auto& extra : {std::vector<std::string>{}, std::vector<std::string>{"x", "y"}}) {
        std::vector<std::string> args = {CBMP_EXE, "--version"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = RunProcess(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "cbmp " CBMP_VERSION_TEXT "\n");
        EXPECT_EQ(r.err, "");
    }
    // Only the exact spelling: anything else is still an unknown mode.
    const auto r = RunProcess({CBMP_EXE, "--Version", "a", "b"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Unknown mode '--Version'\n");
}

// Latin letters with diacritics, CJK and a character outside the Basic Multilingual Plane (a
// surrogate pair in UTF-16), with spaces, through both modes; the console lines show the names.
TEST(CliNames, UnicodeNamesRoundTrip) {
    TempDir dir;
    const fs::path bmp = dir.Path() / fs::path(u8"Ünï 写真 \U0001F5BC.bmp");
    const fs::path cbmp = dir.Path() / fs::path(u8"Ünï 写真 \U0001F5BC.cbmp");
    const fs::path back = dir.Path() / fs::path(u8"zurück 写真.bmp");
    fs::copy_file(CBMP_SAMPLE_BMP, bmp);
    const Bytes original = ReadPath(bmp);
    ASSERT_GT(original.size(), 54u);

    const auto c = RunProcess({CBMP_EXE, "-c", Utf8(bmp), Utf8(cbmp)});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(c.out.rfind("Compressing: " + Utf8(bmp) + " -> " + Utf8(cbmp) + "\n", 0), 0u)
        << c.out;
    EXPECT_NE(c.out.find("Compressed file created: " + Utf8(cbmp) + "\n"), std::string::npos);
    const Bytes compressed = ReadPath(cbmp);
    ASSERT_GT(compressed.size(), 60u);
    EXPECT_EQ(std::string(compressed.begin(), compressed.begin() + 4), "CBMP");

    const auto d = RunProcess({CBMP_EXE, "-d", Utf8(cbmp), Utf8(back)});
    EXPECT_EQ(d.exitCode, 0) << d.err;
    EXPECT_EQ(ReadPath(back), original);
    // Nothing else appeared under some other spelling of the names.
    EXPECT_EQ(dir.Entries().size(), 3u);

    const fs::path missing = dir.Path() / fs::path(u8"нет 写真.bmp");
    const auto m = RunProcess({CBMP_EXE, "-c", Utf8(missing), Utf8(cbmp)});
    EXPECT_EQ(m.exitCode, 1);
    EXPECT_EQ(m.err,
              "Error: Cannot open file " + Utf8(missing) + "\nError: Failed to read BMP file\n");
    EXPECT_EQ(ReadPath(cbmp), compressed);
}

}  // namespace
}  // namespace cbmp
