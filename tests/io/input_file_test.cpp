// Input files: mapped whole where that is safe, read otherwise, the same bytes either way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <thread>

#include "io/input_source.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::TempDir;

Bytes ReadAll(InputSource& in) {
    Bytes bytes;
    std::uint8_t chunk[4096];
    for (std::size_t got = 0; (got = ReadSource(in, chunk, sizeof chunk)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    }
    return bytes;
}

TEST(InputFile, MapsARegularFileAndKeepsTheMappingPastClose) {
    TempDir dir;
    const std::string path = dir / "in.bin";
    const Bytes content = Pattern(300000);
    testing::WriteFileBytes(path, content);
#ifndef _WIN32
    fs::permissions(path, fs::perms(0644), fs::perm_options::replace);
#endif
    InputFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_TRUE(file.Mapped());
    EXPECT_TRUE(file.source.identity.known);
    ASSERT_EQ(file.source.size, content.size());
    const std::uint8_t* view = file.source.data;
    ASSERT_NE(view, nullptr);
    file.Close();  // the descriptor goes; the bytes borrowed from the mapping stay
    EXPECT_TRUE(std::equal(content.begin(), content.end(), view));
    EXPECT_EQ(ReadAll(file.source), content);
    EXPECT_FALSE(file.ReadFailed());
}

TEST(InputFile, ReadsWhatItCannotMap) {
    TempDir dir;
    const std::string empty = dir / "empty.bin";
    testing::WriteFileBytes(empty, {});
    InputFile none;
    ASSERT_TRUE(none.Open(empty.c_str()));
    EXPECT_FALSE(none.Mapped());  // an empty mapping is refused everywhere
    EXPECT_EQ(none.source.size, 0u);
    EXPECT_EQ(ReadAll(none.source), Bytes{});

    InputFile directory;
    EXPECT_FALSE(directory.Open(dir.Path().string().c_str()));
    InputFile missing;
    EXPECT_FALSE(missing.Open((dir / "missing.bin").c_str()));
}

#ifndef _WIN32
TEST(InputFile, ReadsFilesOthersMayWriteAndPipes) {
    // A file that another user could cut short under a mapping is read instead.
    TempDir dir;
    const Bytes content = Pattern(70000);
    for (const auto mode : {fs::perms(0664), fs::perms(0646)}) {
        const std::string path = dir / "shared.bin";
        testing::WriteFileBytes(path, content);
        fs::permissions(path, mode, fs::perm_options::replace);
        InputFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        EXPECT_FALSE(file.Mapped()) << std::oct << static_cast<unsigned>(mode);
        EXPECT_EQ(file.source.size, content.size());
        EXPECT_EQ(ReadAll(file.source), content);
    }

    // A FIFO has no length and cannot be mapped: it is read as it comes.
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { testing::WriteFileBytes(fifo, content); });
    InputFile piped;
    ASSERT_TRUE(piped.Open(fifo.c_str()));
    EXPECT_FALSE(piped.Mapped());
    EXPECT_EQ(piped.source.size, kUnknownSize);
    EXPECT_EQ(ReadAll(piped.source), content);
    writer.join();
}
#endif

}  // namespace
}  // namespace cbmp
