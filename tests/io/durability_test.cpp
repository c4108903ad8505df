// The data of a replacement reaches the disk before its name does. fsync, fdatasync and renameat
// are wrapped in this executable (the output file layer is linked into it statically, so its
// calls come here first) to record in what order the files are flushed and renamed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "tests/support/temp_dir.h"

namespace {

struct Event {
    std::string call;
    ino_t inode;
};
std::vector<Event> g_events;

ino_t InodeOf(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

template <typename Function>
Function Real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    g_events.push_back({"fsync", InodeOf(fd)});
    return Real<int (*)(int)>("fsync")(fd);
}

extern "C" int fdatasync(int fd) {
    g_events.push_back({"fsync", InodeOf(fd)});
    return Real<int (*)(int)>("fdatasync")(fd);
}

extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
    struct stat st {};
    fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW);
    g_events.push_back({"rename", st.st_ino});
    return Real<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

namespace cbmp {
namespace {

TEST(OutputFileDurability, DataFlushedBeforeTheRename) {
    testing::TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, {'o', 'l', 'd'});
    const testing::Bytes bytes(100000, 0x5A);
    g_events.clear();
    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
    ASSERT_TRUE(out.Write(bytes.data(), bytes.size()));
    ASSERT_TRUE(out.Commit());
    const std::vector<Event> events = g_events;

    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    std::size_t flushed = events.size();
    std::size_t renamed = events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].inode == st.st_ino && events[i].call == "fsync" && flushed == events.size()) {
            flushed = i;
        }
        if (events[i].inode == st.st_ino && events[i].call == "rename") {
            renamed = i;
        }
    }
    ASSERT_LT(renamed, events.size()) << "the new file was never renamed into place";
    EXPECT_LT(flushed, renamed) << "the new file's data was not flushed before its rename";
    EXPECT_EQ(testing::ReadFileBytes(target), bytes);
}

}  // namespace
}  // namespace cbmp
