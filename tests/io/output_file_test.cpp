#include "io/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::TempDir;

const Bytes kOld = {'o', 'l', 'd'};
const Bytes kNew = {'n', 'e', 'w', '!'};

TEST(OutputFile, ReplacesOnCommitKeepingPermissions) {
    TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, kOld);
#ifndef _WIN32  // Windows files have no POSIX permission bits
    fs::permissions(target, fs::perms(0640), fs::perm_options::replace);
#endif

    struct Seen {
        std::string temp;
        int finished = 0;
    } seen;
    TempFileObserver observer;
    observer.created = [](const char* path, void* ctx) { static_cast<Seen*>(ctx)->temp = path; };
    observer.finished = [](void* ctx) { ++static_cast<Seen*>(ctx)->finished; };
    observer.context = &seen;

    OutputFile out;
    ASSERT_TRUE(out.Open(target.c_str(), &observer));
    ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
    EXPECT_EQ(fs::path(seen.temp).parent_path(), dir.Path());
    EXPECT_EQ(testing::ReadFileBytes(target), kOld);  // untouched until complete
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(seen.finished, 1);
    EXPECT_EQ(testing::ReadFileBytes(target), kNew);
#ifndef _WIN32
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
#endif
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST(OutputFile, DiscardLeavesTargetAndNoTemporary) {
    TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, kOld);
    {
        OutputFile out;
        ASSERT_TRUE(out.Open(target.c_str()));
        ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
        EXPECT_EQ(dir.Entries().size(), 2u);
    }  // destroyed without a commit
    EXPECT_EQ(testing::ReadFileBytes(target), kOld);
    EXPECT_EQ(dir.Entries().size(), 1u);

    const std::string missing = dir / "no-such-dir/out.bin";
    OutputFile out;
    EXPECT_FALSE(out.Open(missing.c_str()));
    EXPECT_FALSE(out.Write(kNew.data(), kNew.size()));
    EXPECT_FALSE(out.Commit());
}

#ifndef _WIN32  // creating symbolic links takes a privilege on Windows
TEST(OutputFile, FollowsSymbolicLinksToTheirTarget) {
    TempDir dir;
    fs::create_directory(dir.Path() / "real");
    const std::string real = dir / "real/file.bin";
    testing::WriteFileBytes(real, kOld);
    const std::string link = dir / "link.bin";
    fs::create_symlink("real/file.bin", link);

    OutputFile out;
    ASSERT_TRUE(out.Open(link.c_str()));
    EXPECT_EQ(fs::path(out.WritePath()).parent_path(), dir.Path() / "real");
    ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
    ASSERT_TRUE(out.Commit());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(testing::ReadFileBytes(real), kNew);
}
#endif

#ifndef _WIN32  // FIFOs are a POSIX file type
TEST(OutputFile, WritesThroughFifoInPlace) {
    TempDir dir;
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = testing::ReadFileBytes(fifo); });
    OutputFile out;
    const bool opened = out.Open(fifo.c_str());
    EXPECT_TRUE(opened);
    EXPECT_TRUE(out.Write(kNew.data(), kNew.size()));
    EXPECT_TRUE(out.Commit());
    reader.join();
    EXPECT_EQ(received, kNew);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(dir.Entries().size(), 1u);
}
#endif

}  // namespace
}  // namespace cbmp
