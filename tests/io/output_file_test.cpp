#include "io/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#ifndef _WIN32
#include "tests/support/child_process.h"
#endif
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::TempDir;

const Bytes kOld = {'o', 'l', 'd'};
const Bytes kNew = {'n', 'e', 'w', '!'};

// Writes kNew to `path` from start to commit; the open's status, or kOpened with a failed commit
// reported through `committed`.
[[maybe_unused]] OpenStatus WriteNew(const std::string& path, const FileIdentity* input = nullptr,
                                     bool* committed = nullptr) {
    OutputFile out;
    const OpenStatus status = out.Open(path.c_str(), input);
    const bool done =
        status == OpenStatus::kOpened && out.Write(kNew.data(), kNew.size()) && out.Commit();
    if (committed != nullptr) {
        *committed = done;
    }
    return status;
}

#ifndef _WIN32
struct stat Stat(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}
#endif

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
    observer.created = [](int, const char* name, void* ctx) {
        static_cast<Seen*>(ctx)->temp = name;
    };
    observer.finished = [](void* ctx) { ++static_cast<Seen*>(ctx)->finished; };
    observer.context = &seen;

    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str(), nullptr, &observer), OpenStatus::kOpened);
    ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
    EXPECT_TRUE(fs::exists(dir.Path() / seen.temp));
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
        ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
        ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
        EXPECT_EQ(dir.Entries().size(), 2u);
    }  // destroyed without a commit
    EXPECT_EQ(testing::ReadFileBytes(target), kOld);
    EXPECT_EQ(dir.Entries().size(), 1u);

    const std::string missing = dir / "no-such-dir/out.bin";
    OutputFile out;
    EXPECT_EQ(out.Open(missing.c_str()), OpenStatus::kCannotCreate);
    EXPECT_FALSE(out.Write(kNew.data(), kNew.size()));
    EXPECT_FALSE(out.Commit());
}

#ifndef _WIN32  // creating symbolic links takes a privilege on Windows
// A link is followed by the kernel, and the file it reaches is replaced in its own directory. A
// dangling link gets the file it names.
TEST(OutputFile, FollowsSymbolicLinksToTheirTarget) {
    TempDir dir;
    fs::create_directory(dir.Path() / "real");
    const std::string real = dir / "real/file.bin";
    testing::WriteFileBytes(real, kOld);
    const std::string link = dir / "link.bin";
    fs::create_symlink("real/file.bin", link);

    OutputFile out;
    ASSERT_EQ(out.Open(link.c_str()), OpenStatus::kOpened);
    EXPECT_TRUE(fs::exists(dir.Path() / "real" / out.TempName()));
    ASSERT_TRUE(out.Write(kNew.data(), kNew.size()));
    ASSERT_TRUE(out.Commit());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(testing::ReadFileBytes(real), kNew);
    EXPECT_EQ(fs::directory_iterator(dir.Path() / "real")->path(), fs::path(real));

    const std::string dangling = dir / "dangling.bin";
    fs::create_symlink("real/new.bin", dangling);
    EXPECT_EQ(WriteNew(dangling), OpenStatus::kOpened);
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(testing::ReadFileBytes(dir / "real/new.bin"), kNew);
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
    const OpenStatus opened = out.Open(fifo.c_str());
    EXPECT_EQ(opened, OpenStatus::kOpened);
    EXPECT_TRUE(out.InPlace());
    EXPECT_TRUE(out.Write(kNew.data(), kNew.size()));
    // A pipe cannot take back what it has passed on.
    EXPECT_FALSE(out.CanRewrite());
    EXPECT_FALSE(out.WriteAt(0, kNew.data(), 1));
    EXPECT_TRUE(out.Commit());
    reader.join();
    EXPECT_EQ(received, kNew);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(dir.Entries().size(), 1u);
}
#endif

// A header written last, once what follows it is known: over bytes already written, never past
// them, and the next write still goes on at the end.
TEST(OutputFile, RewritesItsStartBeforeCommitting) {
    TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, kOld);
    OutputFile out;
    ASSERT_EQ(out.Open(target.c_str()), OpenStatus::kOpened);
    ASSERT_TRUE(out.CanRewrite());
    const Bytes room(4, 0);
    ASSERT_TRUE(out.Write(room.data(), room.size()));
    ASSERT_TRUE(out.Write(kOld.data(), kOld.size()));
    EXPECT_FALSE(out.WriteAt(5, kNew.data(), kNew.size())) << "past the bytes written";
    ASSERT_TRUE(out.WriteAt(0, kNew.data(), kNew.size()));
    ASSERT_TRUE(out.Write(kOld.data(), 1));
    EXPECT_EQ(testing::ReadFileBytes(target), kOld) << "the old file stays until the commit";
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(testing::ReadFileBytes(target), (Bytes{'n', 'e', 'w', '!', 'o', 'l', 'd', 'o'}));
}

// The cases below need POSIX permissions, owners, links, mounts and other users: the Windows build
// leaves them out.
#ifndef _WIN32
using testing::RunInChild;
constexpr int kSkipped = 77;  // a child's exit code: the case cannot be set up here

// The temporary file is 0600 from its creation, and everything done to it afterwards goes
// through its descriptor: swapping its name for a link to another file changes that file in no
// way, and the swapped-in link is not renamed over the output.
std::string g_victim;
mode_t g_tempMode = 0;

TEST(OutputFile, TemporaryIsPrivateAndWorkedOnThroughItsDescriptor) {
    TempDir dir;
    const std::string target = dir / "out.bin";
    testing::WriteFileBytes(target, kOld);
    chmod(target.c_str(), 0644);
    g_victim = dir / "victim";
    testing::WriteFileBytes(g_victim, kOld);
    chmod(g_victim.c_str(), 0600);
    const mode_t mask = umask(022);
    SetTempCreatedHookForTesting([](int dirFd, const char* name) {
        struct stat st {};
        fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW);
        g_tempMode = st.st_mode & 07777;
        unlinkat(dirFd, name, 0);
        symlinkat(g_victim.c_str(), dirFd, name);
    });
    bool committed = true;
    EXPECT_EQ(WriteNew(target, nullptr, &committed), OpenStatus::kOpened);
    SetTempCreatedHookForTesting(nullptr);
    umask(mask);
    EXPECT_EQ(g_tempMode, 0600u);
    EXPECT_FALSE(committed);
    EXPECT_EQ(Stat(g_victim).st_mode & 07777, 0600u);
    EXPECT_EQ(testing::ReadFileBytes(g_victim), kOld);
    EXPECT_TRUE(S_ISREG(Stat(target).st_mode));
    EXPECT_EQ(testing::ReadFileBytes(target), kOld);
    EXPECT_EQ(dir.Entries().size(), 2u);
}

// What a replacement keeps: the mode without set-user-ID and set-group-ID, owner and group (when
// the caller may set them, as root may), user attributes. Another hard link keeps the old file.
TEST(OutputFile, ReplacementKeepsWhatTheCallerMayKeep) {
    TempDir dir;
    const std::string target = dir / "out.bin";
    const std::string other = dir / "other-name.bin";
    testing::WriteFileBytes(target, kOld);
    fs::create_hard_link(target, other);
    ASSERT_EQ(chmod(target.c_str(), 06754), 0);
    const bool root = testing::IsRoot();
    if (root) {
        ASSERT_EQ(chown(target.c_str(), testing::kNobody, testing::kNobody), 0);
        ASSERT_EQ(chmod(target.c_str(), 06754), 0);  // chown cleared the set-ID bits
    }
    const bool attributes = setxattr(target.c_str(), "user.cbmp", "kept", 4, 0) == 0;

    EXPECT_EQ(WriteNew(target), OpenStatus::kOpened);
    const struct stat st = Stat(target);
    EXPECT_EQ(st.st_mode & 07777, 0754u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(testing::ReadFileBytes(target), kNew);
    EXPECT_EQ(testing::ReadFileBytes(other), kOld);
    if (root) {
        EXPECT_EQ(st.st_uid, testing::kNobody);
        EXPECT_EQ(st.st_gid, testing::kNobody);
    }
    if (attributes) {
        char value[8] = {};
        EXPECT_EQ(getxattr(target.c_str(), "user.cbmp", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
    if (!root || !attributes) {
        GTEST_SKIP() << (root ? "" : "owner and group not checked: not root; ")
                     << (attributes ? "" : "user attributes not supported here");
    }
}

// The temporary name does not grow with the output's: a 255-byte name and a path of 4,090 bytes
// are written like any other (a new file, with the mode the umask leaves).
TEST(OutputFile, LongNamesAndDeepPaths) {
    TempDir dir;
    const mode_t mask = umask(027);
    EXPECT_EQ(WriteNew(dir / std::string(255, 'n')), OpenStatus::kOpened);
    umask(mask);
    EXPECT_EQ(testing::ReadFileBytes(dir / std::string(255, 'n')), kNew);
    EXPECT_EQ(Stat(dir / std::string(255, 'n')).st_mode & 07777, 0640u);

    std::string deep = dir.Path().string();
    while (deep.size() + 1 + 200 + 1 + 60 < 4090) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    const std::string path = deep + "/" + std::string(4089 - deep.size(), 'f');
    ASSERT_EQ(path.size(), 4090u);
    bool committed = false;
    EXPECT_EQ(WriteNew(path, nullptr, &committed), OpenStatus::kOpened);
    EXPECT_TRUE(committed);
    EXPECT_EQ(testing::ReadFileBytes(path), kNew);
}

// Whatever a plain open for writing refuses is refused: a link loop, a link the kernel will not
// follow (here on a file system mounted nosymfollow), a read-only file, a file of another user.
TEST(OutputFile, RefusesWhatOpeningForWritingRefuses) {
    TempDir dir;
    fs::create_symlink("loop-b", dir / "loop-a");
    fs::create_symlink("loop-a", dir / "loop-b");
    EXPECT_EQ(WriteNew(dir / "loop-a"), OpenStatus::kCannotCreate);
    EXPECT_TRUE(fs::is_symlink(dir / "loop-a"));

    chmod(dir.Path().c_str(), 0755);
    const std::string victim = dir / "victim";
    const std::string readOnly = dir / "read-only";
    const std::string rootsFile = dir / "roots";
    for (const std::string& file : {victim, readOnly, rootsFile}) {
        testing::WriteFileBytes(file, kOld);
    }
    chmod(readOnly.c_str(), 0444);
    chmod(rootsFile.c_str(), 0644);
    if (testing::IsRoot()) {
        chown(readOnly.c_str(), testing::kNobody, testing::kNobody);
        const std::string mountPoint = dir / "nosymfollow";
        fs::create_directory(mountPoint);
        const auto unfollowed = RunInChild([&] {
            if (!testing::PrivateMounts() ||
                mount("cbmp", mountPoint.c_str(), "tmpfs", MS_NOSYMFOLLOW, nullptr) != 0) {
                return kSkipped;
            }
            const std::string link = mountPoint + "/link";
            symlink(victim.c_str(), link.c_str());
            return WriteNew(link) == OpenStatus::kCannotCreate ? 0 : 1;
        });
        EXPECT_EQ(unfollowed.exitCode, 0);
        EXPECT_EQ(testing::ReadFileBytes(victim), kOld);
    }
    const auto refused = RunInChild([&] {
        if (testing::IsRoot() && !testing::BecomeUser(testing::kNobody)) {
            return kSkipped;
        }
        const bool rootOwned = Stat(rootsFile).st_uid != geteuid();
        return (WriteNew(readOnly) == OpenStatus::kCannotCreate ? 0 : 1) |
               (!rootOwned || WriteNew(rootsFile) == OpenStatus::kCannotCreate ? 0 : 2);
    });
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(readOnly), kOld);
    EXPECT_EQ(testing::ReadFileBytes(rootsFile), kOld);
    EXPECT_EQ(dir.Entries().size(), 6u);
}

// Targets that can only be written in place are written in place: a writable file in a directory
// the caller cannot write, another user's file in a sticky directory (no rename over it), a
// bind-mounted file (the rename fails with EBUSY).
TEST(OutputFile, WritesInPlaceWhatCannotBeReplaced) {
    if (!testing::IsRoot()) {
        GTEST_SKIP() << "needs root to act as two other users and to mount";
    }
    TempDir dir;
    chmod(dir.Path().c_str(), 0755);
    const std::string locked = dir / "locked";
    const std::string sticky = dir / "sticky";
    fs::create_directory(locked);
    fs::create_directory(sticky);
    chmod(sticky.c_str(), 01777);
    const std::string inLocked = locked + "/file";
    const std::string inSticky = sticky + "/file";
    for (const std::string& file : {inLocked, inSticky}) {
        testing::WriteFileBytes(file, kOld);
    }
    chown(inLocked.c_str(), testing::kNobody, testing::kNobody);
    chown(inSticky.c_str(), testing::kOtherUser, testing::kOtherUser);
    chmod(inSticky.c_str(), 0666);
    const ino_t lockedInode = Stat(inLocked).st_ino;
    const ino_t stickyInode = Stat(inSticky).st_ino;
    const auto result = RunInChild([&] {
        if (!testing::BecomeUser(testing::kNobody)) {
            return kSkipped;
        }
        bool lockedDone = false;
        bool stickyDone = false;
        WriteNew(inLocked, nullptr, &lockedDone);
        WriteNew(inSticky, nullptr, &stickyDone);
        return (lockedDone ? 0 : 1) | (stickyDone ? 0 : 2);
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(inLocked), kNew);
    EXPECT_EQ(testing::ReadFileBytes(inSticky), kNew);
    EXPECT_EQ(Stat(inLocked).st_ino, lockedInode);
    EXPECT_EQ(Stat(inSticky).st_ino, stickyInode);
    EXPECT_EQ(std::distance(fs::directory_iterator(sticky), fs::directory_iterator()), 1);

    const std::string source = dir / "source";
    const std::string mounted = dir / "mounted";
    testing::WriteFileBytes(source, kOld);
    testing::WriteFileBytes(mounted, kOld);
    const auto bound = RunInChild([&] {
        if (!testing::PrivateMounts() ||
            mount(source.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return kSkipped;
        }
        bool done = false;
        WriteNew(mounted, nullptr, &done);
        return done ? 0 : 1;
    });
    if (bound.exitCode == kSkipped) {
        GTEST_SKIP() << "bind mounts are not allowed here";
    }
    EXPECT_EQ(bound.exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(source), kNew);
    EXPECT_EQ(testing::ReadFileBytes(mounted), kOld);
}
#endif  // !_WIN32

}  // namespace
}  // namespace cbmp
