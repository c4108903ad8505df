// The data of a replacement reaches the disk before its name does. The output file layer is
// linked in statically, so its calls to fsync and renameat come to the wrappers below first,
// which record the inode each one touches.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

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

TEST(OutputFileDurability, DataFlushedBeforeTheRename) {
    testing::TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, {'o', 'l', 'd'});
    const testing::Bytes bytes(100000, 0x5A);
    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
    ASSERT_TRUE(out.Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(testing::ReadFileBytes(target), bytes);

    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    std::vector<char> calls;  // what happened to the new file, in order
    for (const auto& [call, inode] : g_events) {
        if (inode == st.st_ino) {
            calls.push_back(call);
        }
    }
    EXPECT_EQ(calls, (std::vector<char>{'f', 'r'}));
}

}  // namespace
}  // namespace cbmp
