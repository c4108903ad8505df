// Output faults through the tool: a failed or interrupted run never destroys data and never
// reports success.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "cli/signal_cleanup.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunProcess;
using testing::TempDir;

// A BMP big enough that its output cannot fit under a 4 KiB file-size limit.
std::string MakeInput(const TempDir& dir) {
    testing::BmpFields fields;
    fields.width = 64;
    fields.height = 64;
    fields.pixels = testing::RandomBytes(64 * 64 * 3, 41);
    const std::string path = dir / "in.bmp";
    testing::WriteFileBytes(path, testing::BuildBmp(fields));
    return path;
}

void LimitFileSize() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST(CliOutput, WriteFailingPartWayLeavesExistingFile) {
    TempDir dir;
    const std::string in = MakeInput(dir);
    const std::string out = dir / "out.cbmp";
    const Bytes previous = {'k', 'e', 'e', 'p'};
    testing::WriteFileBytes(out, previous);

    const auto r = RunProcess({CBMP_EXE, "-c", in, out}, &LimitFileSize);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Cannot write file " + out + "\nError: Compression failed\n");
    EXPECT_EQ(r.out.find("Compression successful"), std::string::npos);
    EXPECT_EQ(testing::ReadFileBytes(out), previous);
    EXPECT_EQ(dir.Entries().size(), 2u);  // no temporary file left behind

    // The same through decompression, into a file that did not exist.
    const std::string cbmp = dir / "ok.cbmp";
    ASSERT_EQ(RunProcess({CBMP_EXE, "-c", in, cbmp}).exitCode, 0);
    const std::string bmp = dir / "back.bmp";
    const auto d = RunProcess({CBMP_EXE, "-d", cbmp, bmp}, &LimitFileSize);
    EXPECT_EQ(d.exitCode, 1);
    EXPECT_EQ(d.err, "Error: Cannot write file " + bmp + "\nError: Decompression failed\n");
    EXPECT_FALSE(fs::exists(bmp));
    EXPECT_EQ(dir.Entries().size(), 3u);
}

TEST(CliOutput, UncreatableOutputs) {
    TempDir dir;
    const std::string in = MakeInput(dir);
    for (const std::string& out : {dir / "missing-dir/out.cbmp", std::string("/proc/cbmp.cbmp")}) {
        const auto r = RunProcess({CBMP_EXE, "-c", in, out});
        EXPECT_EQ(r.exitCode, 1) << out;
        EXPECT_EQ(r.err, "Error: Cannot create file " + out + "\nError: Compression failed\n");
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(CliOutput, FifoOutputStaysFifo) {
    TempDir dir;
    const std::string in = MakeInput(dir);
    const std::string fifo = dir / "pipe.cbmp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = testing::ReadFileBytes(fifo); });
    const auto r = RunProcess({CBMP_EXE, "-c", in, fifo});
    reader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::is_fifo(fifo));
    ASSERT_GE(received.size(), 60u);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 4), (Bytes{'C', 'B', 'M', 'P'}));

    // What came through the FIFO is a complete CBMP file.
    const std::string copy = dir / "copy.cbmp";
    testing::WriteFileBytes(copy, received);
    const std::string back = dir / "back.bmp";
    EXPECT_EQ(RunProcess({CBMP_EXE, "-d", copy, back}).exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(back), testing::ReadFileBytes(in));
}

// An interrupt while a temporary file exists removes it and still ends the process by the signal.
TEST(CliOutput, InterruptRemovesPendingTemporary) {
    for (const int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        const std::string temp = dir / ".out.cbmp.pending.tmp";
        testing::WriteFileBytes(temp, {1, 2, 3});
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            InstallSignalCleanup();
            const TempFileObserver* observer = SignalCleanupObserver();
            observer->created(temp.c_str(), observer->context);
            std::raise(sig);
            _exit(0);  // not reached when the handler re-raises
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
        EXPECT_FALSE(fs::exists(temp)) << sig;
    }
}

TEST(CliOutput, InterruptAfterCompletionRemovesNothing) {
    TempDir dir;
    const std::string done = dir / "done.cbmp";
    testing::WriteFileBytes(done, {1});
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        InstallSignalCleanup();
        const TempFileObserver* observer = SignalCleanupObserver();
        observer->created(done.c_str(), observer->context);
        observer->finished(observer->context);  // renamed into place: no longer ours to remove
        std::raise(SIGTERM);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(fs::exists(done));
}

}  // namespace
}  // namespace cbmp
