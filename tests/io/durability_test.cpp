// A durable replacement's data reaches the disk before its name does, and the rename before
// Commit returns; an ordinary one syncs nothing. The output file layer is linked in statically, so
// its calls to fsync and renameat come to the wrappers below first, which record the inode each one
// touches.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/operations.h"
#include "io/output_file.h"
#include "tests/support/temp_dir.h"

namespace {
std::vector<std::pair<char, ino_t>> g_events;  // 'f' for fsync, 'r' for rename
}  // namespace

extern "C" int fsync(int fd) {
    struct stat st {};
    fstat(fd, &st);
    g_events.emplace_back('f', st.st_ino);
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"))(fd);
}

extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
    struct stat st {};
    fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW);
    g_events.emplace_back('r', st.st_ino);
    using Rename = int (*)(int, const char*, int, const char*);
    return reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat"))(fromDir, from, toDir, to);
}

namespace cbmp {
namespace {

// What happened to the file now at `target` and to its directory, in order: 'f' and 'r' for
// the file, 'd' for a sync of the directory.
std::vector<char> CallsFor(const std::string& target, const std::string& dir) {
    struct stat file {};
    struct stat directory {};
    EXPECT_EQ(stat(target.c_str(), &file), 0);
    EXPECT_EQ(stat(dir.c_str(), &directory), 0);
    std::vector<char> calls;
    for (const auto& [call, inode] : g_events) {
        if (inode == file.st_ino) {
            calls.push_back(call);
        } else if (inode == directory.st_ino && call == 'f') {
            calls.push_back('d');
        }
    }
    return calls;
}

TEST(OutputFileDurability, DurableDataFlushedBeforeTheRenameAndTheRenameAfter) {
    testing::TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, {'o', 'l', 'd'});
    const testing::Bytes bytes(100000, 0x5A);
    g_events.clear();
    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
    ASSERT_TRUE(out.Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(out.Commit(/*durable=*/true));
    EXPECT_EQ(testing::ReadFileBytes(target), bytes);
    EXPECT_EQ(CallsFor(target, dir.Path().string()), (std::vector<char>{'f', 'r', 'd'}));
}

TEST(OutputFileDurability, OrdinaryCommitSyncsNothing) {
    testing::TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, {'o', 'l', 'd'});
    const testing::Bytes bytes(100000, 0x5A);
    g_events.clear();
    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
    ASSERT_TRUE(out.Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(testing::ReadFileBytes(target), bytes);
    EXPECT_EQ(CallsFor(target, dir.Path().string()), (std::vector<char>{'r'}));
    for (const auto& [call, inode] : g_events) {
        EXPECT_NE(call, 'f') << "an fsync of inode " << inode;
    }
}

// The core's operations sync only when asked: the tool never does, libcbmp's entry points do.
TEST(OutputFileDurability, OperationsSyncWhenDurable) {
    testing::TempDir dir;
    const std::string bmp = dir / "in.bmp";
    const std::string cbmp = dir / "out.cbmp";
    testing::Bytes file = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40};
    file.resize(70, 0x33);
    testing::WriteFileBytes(bmp, file);
    for (const bool durable : {false, true}) {
        g_events.clear();
        core::Settings settings;
        settings.durable = durable;
        core::Output output = core::Output::File(cbmp.c_str());
        ASSERT_TRUE(core::Compress(core::Input::File(bmp.c_str()), output, settings).ok());
        const std::vector<char> expected =
            durable ? std::vector<char>{'f', 'r', 'd'} : std::vector<char>{'r'};
        EXPECT_EQ(CallsFor(cbmp, dir.Path().string()), expected) << "durable " << durable;
    }
}

}  // namespace
}  // namespace cbmp
