// Faults around the files, through the real executable: the disk fills at every stage of a
// write, outputs that cannot be created, inputs that are not regular files, and a process killed
// while it writes a 48 MiB output. In every case the tool reports the failure and nothing that
// was on disk before is lost.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/hostile_support.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::ChildSetup;
using testing::RunTool;
using testing::TempDir;

Bytes NoiseBmp() {
    testing::BmpFields fields;
    fields.width = 64;
    fields.height = 64;
    fields.pixels = testing::RandomBytes(64 * 64 * 3, 51);
    return testing::BuildBmp(fields);
}

const Bytes kOldContent = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};

// A disk that fills after `limit` bytes of the output, at every stage of the file: nothing
// written, inside the header, right after it, inside the data, one byte short. The run fails with
// its error lines, the file that was there stays whole, and no temporary file is left. With room
// for exactly the whole file the run succeeds.
TEST(Faults, DiskFullAtEveryStageOfTheOutput) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    const std::string cbmp = dir / "in.cbmp";
    testing::WriteFileBytes(bmp, NoiseBmp());
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", bmp, cbmp}).exitCode, 0);
    const auto cbmpSize = static_cast<rlim_t>(fs::file_size(cbmp));
    const auto bmpSize = static_cast<rlim_t>(fs::file_size(bmp));

    struct Mode {
        const char* flag;
        std::string input;
        rlim_t fullSize;
        std::vector<rlim_t> limits;
        const char* failure;
    };
    const Mode modes[] = {
        {"-c", bmp, cbmpSize, {0, 1, 59, 60, 61, 4096, cbmpSize - 1}, "Compression failed"},
        {"-d", cbmp, bmpSize, {0, 1, 53, 54, 55, 4096, bmpSize - 1}, "Decompression failed"},
    };
    for (const Mode& mode : modes) {
        const std::string out = dir / "out.file";
        for (const rlim_t limit : mode.limits) {
            const std::string label = std::string(mode.flag) + " limit " + std::to_string(limit);
            testing::WriteFileBytes(out, kOldContent);
            ChildSetup setup;
            setup.fileSizeLimit = limit;
            setup.ignoreFileSizeSignal = true;
            const auto r = RunTool({CBMP_EXE, mode.flag, mode.input, out}, setup);
            EXPECT_EQ(r.exitCode, 1) << label;
            EXPECT_EQ(r.err, "Error: Cannot write file " + out + "\nError: " + mode.failure + "\n")
                << label;
            EXPECT_EQ(r.out.find("successful"), std::string::npos) << label;
            EXPECT_EQ(testing::ReadFileBytes(out), kOldContent) << label;
            EXPECT_EQ(dir.Entries().size(), 3u) << label;  // in.bmp, in.cbmp, out.file
        }
        ChildSetup exact;
        exact.fileSizeLimit = mode.fullSize;
        exact.ignoreFileSizeSignal = true;
        const auto r = RunTool({CBMP_EXE, mode.flag, mode.input, out}, exact);
        EXPECT_EQ(r.exitCode, 0) << mode.flag << ": " << r.err;
        EXPECT_EQ(fs::file_size(out), mode.fullSize) << mode.flag;
        fs::remove(out);
    }
}

// Outputs that cannot be created, in both modes: a folder that does not exist, places where not
// even root may create a file, and a path that is a directory (which must survive with its
// contents).
TEST(Faults, OutputsThatCannotBeCreated) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    const std::string cbmp = dir / "in.cbmp";
    testing::WriteFileBytes(bmp, NoiseBmp());
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", bmp, cbmp}).exitCode, 0);
    const std::string folder = dir / "folder";
    fs::create_directory(folder);
    testing::WriteFileBytes(folder + "/keep", kOldContent);

    for (const auto& [flag, input, failure] : {std::tuple{"-c", bmp, "Compression failed"},
                                               std::tuple{"-d", cbmp, "Decompression failed"}}) {
        for (const std::string& out : {dir / "missing/out.file", std::string("/proc/cbmp-out.file"),
                                       std::string("/proc/self/cbmp-out.file"), folder}) {
            const auto r = RunTool({CBMP_EXE, flag, input, out});
            EXPECT_EQ(r.exitCode, 1) << flag << " " << out;
            EXPECT_EQ(r.err, "Error: Cannot create file " + out + "\nError: " + failure + "\n")
                << flag << " " << out;
            EXPECT_EQ(r.out.find("successful"), std::string::npos) << flag << " " << out;
        }
        EXPECT_FALSE(fs::exists(dir / "missing"));
        EXPECT_FALSE(fs::exists("/proc/cbmp-out.file"));
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_EQ(testing::ReadFileBytes(folder + "/keep"), kOldContent);
        EXPECT_EQ(dir.Entries().size(), 3u);  // in.bmp, in.cbmp, folder
    }
}

// The output path names the input itself: a failed run leaves the input whole, a successful one
// replaces it only once the new file is complete.
TEST(Faults, OutputIsTheInput) {
    TempDir dir;
    const Bytes bmp = NoiseBmp();
    const std::string same = dir / "same.file";
    testing::WriteFileBytes(same, bmp);
    ChildSetup full;
    full.fileSizeLimit = 1000;
    full.ignoreFileSizeSignal = true;
    EXPECT_EQ(RunTool({CBMP_EXE, "-c", same, same}, full).exitCode, 1);
    EXPECT_EQ(testing::ReadFileBytes(same), bmp);

    ASSERT_EQ(RunTool({CBMP_EXE, "-c", same, same}).exitCode, 0);
    const Bytes cbmp = testing::ReadFileBytes(same);
    EXPECT_EQ(testing::Slice(cbmp, 0, 4), (Bytes{'C', 'B', 'M', 'P'}));
    EXPECT_EQ(RunTool({CBMP_EXE, "-d", same, same}, full).exitCode, 1);
    EXPECT_EQ(testing::ReadFileBytes(same), cbmp);

    ASSERT_EQ(RunTool({CBMP_EXE, "-d", same, same}).exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(same), bmp);
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST(Faults, InputIsADirectory) {
    TempDir dir;
    const std::string folder = dir / "folder";
    fs::create_directory(folder);
    for (const auto& [flag, failure] : {std::pair{"-c", "Error: Failed to read BMP file\n"},
                                        std::pair{"-d", "Error: Decompression failed\n"}}) {
        const std::string out = dir / "out.file";
        const auto r = RunTool({CBMP_EXE, flag, folder, out});
        EXPECT_EQ(r.exitCode, 1) << flag;
        EXPECT_EQ(r.err, "Error: Cannot open file " + folder + "\n" + failure) << flag;
        EXPECT_FALSE(fs::exists(out)) << flag;
    }
}

// Feeds `bytes` into the FIFO at `path` once the tool opens it, then closes it. Gives up when
// `done` is set before any reader came.
void FeedFifo(const std::string& path, const Bytes& bytes, const std::atomic<bool>& done) {
    int fd = -1;
    while (fd < 0 && !done) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            std::this_thread::yield();
        }
    }
    if (fd < 0) {
        return;
    }
    fcntl(fd, F_SETFL, 0);  // blocking from here on
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) {
            break;  // the tool stopped reading
        }
        sent += static_cast<std::size_t>(n);
    }
    close(fd);
}

testing::ProcessResult RunFromFifo(const std::string& fifo, const Bytes& bytes,
                                   const std::vector<std::string>& args) {
    std::atomic<bool> done{false};
    std::thread feeder([&] { FeedFifo(fifo, bytes, done); });
    const auto r = RunTool(args);
    done = true;
    feeder.join();
    return r;
}

// An input that is a FIFO has no length to check stated sizes against: a good file still goes
// through, and one that states far more than it delivers fails without allocating what it states
// (under the address-space limit where the platform has one).
TEST(Faults, InputIsAFifo) {
    std::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Bytes bmp = NoiseBmp();
    const std::string reference = dir / "reference.cbmp";
    testing::WriteFileBytes(dir / "in.bmp", bmp);
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", dir / "in.bmp", reference}).exitCode, 0);

    const std::string cbmp = dir / "out.cbmp";
    auto r = RunFromFifo(fifo, bmp, {CBMP_EXE, "-c", fifo, cbmp});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testing::ReadFileBytes(cbmp), testing::ReadFileBytes(reference));

    const std::string back = dir / "back.bmp";
    r = RunFromFifo(fifo, testing::ReadFileBytes(reference), {CBMP_EXE, "-d", fifo, back});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testing::ReadFileBytes(back), bmp);

    // 2 GiB of pixels stated, 300 KiB delivered.
    Bytes liarBmp = bmp;
    testing::Put32(liarBmp, 2, 0x80000000u);
    liarBmp.resize(300 << 10, 7);
    const std::string out = dir / "liar.out";
    r = RunFromFifo(fifo, liarBmp, {CBMP_EXE, "-c", fifo, out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Failed to read pixel data\nError: Failed to read BMP file\n");
    EXPECT_FALSE(fs::exists(out));

    // A CBMP stating a 4 GiB stream, 300 KiB delivered.
    Bytes liarCbmp = testing::ReadFileBytes(reference);
    testing::Put32(liarCbmp, 48, 0xFFFFFFF0u);
    liarCbmp.resize(300 << 10, 9);
    r = RunFromFifo(fifo, liarCbmp, {CBMP_EXE, "-d", fifo, out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Failed to read compressed data\nError: Decompression failed\n");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// A CBMP file whose payload is `size` bytes of a 7-byte pattern, mostly 258-byte matches.
Bytes LargeCbmp(std::uint32_t size) {
    testing::PlainStream stream(size);
    const char pattern[] = "fault48";
    std::uint32_t produced = 0;
    for (; produced < 7; ++produced) {
        stream.Literal(static_cast<std::uint8_t>(pattern[produced]));
    }
    while (produced < size) {
        const std::uint32_t length = std::min<std::uint32_t>(258, size - produced);
        if (length < 3) {
            stream.Literal(static_cast<std::uint8_t>(pattern[produced % 7]));
            ++produced;
            continue;
        }
        stream.Match(7, length);
        produced += length;
    }
    stream.End();
    return testing::CbmpFile(stream.bytes(), size, 0);
}

constexpr std::uint32_t kLargePayload = 48u << 20;

// Temporary files the tool left in `dir` (hidden names ending in .tmp).
std::vector<std::string> Temporaries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.front() == '.' && name.ends_with(".tmp")) {
            names.push_back(entry.path().string());
        }
    }
    return names;
}

// Killed by SIGXFSZ at a file-size limit in the middle of a 48 MiB output: the kill lands at a
// chosen byte, every time. The output path keeps the complete old file.
TEST(Faults, KilledAtAChosenPointOfALargeWrite) {
    TempDir dir;
    const std::string in = dir / "large.cbmp";
    testing::WriteFileBytes(in, LargeCbmp(kLargePayload));
    const std::string out = dir / "out.bmp";
    for (const rlim_t at : {rlim_t{1} << 20, rlim_t{24} << 20, rlim_t{kLargePayload} + 53}) {
        testing::WriteFileBytes(out, kOldContent);
        ChildSetup setup;
        setup.fileSizeLimit = at;
        const pid_t pid = testing::StartTool({CBMP_EXE, "-d", in, out}, setup);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << at;
        EXPECT_EQ(testing::ReadFileBytes(out), kOldContent) << at;
        // The killed process could not remove its temporary file: it holds the bytes up to the
        // limit, under a name of its own.
        const auto temps = Temporaries(dir.Path().string());
        ASSERT_EQ(temps.size(), 1u) << at;
        EXPECT_EQ(fs::file_size(temps[0]), at);
        fs::remove(temps[0]);
    }
    // And with no limit the same run completes.
    const auto r = RunTool({CBMP_EXE, "-d", in, out});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::file_size(out), 54u + kLargePayload);
}

// SIGKILL while the 48 MiB output is being written. The test waits for the temporary file to
// grow, stops the process there, checks that the output path still holds the old file, and kills
// it. Should the run finish before it is caught, the path must hold the complete new file, and
// the test tries again.
TEST(Faults, SigkillWhileWritingLeavesOldFileWhole) {
    TempDir dir;
    const std::string in = dir / "large.cbmp";
    testing::WriteFileBytes(in, LargeCbmp(kLargePayload));
    const std::string out = dir / "out.bmp";
    const std::uintmax_t fullSize = 54u + kLargePayload;
    int caught = 0;
    int finished = 0;
    for (int attempt = 0; attempt < 20 && caught == 0; ++attempt) {
        testing::WriteFileBytes(out, kOldContent);
        const pid_t pid = testing::StartTool({CBMP_EXE, "-d", in, out}, ChildSetup{});
        ASSERT_GT(pid, 0);
        bool exited = false;
        while (!exited) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            const auto temps = Temporaries(dir.Path().string());
            std::error_code ec;
            if (temps.size() != 1 || fs::file_size(temps[0], ec) == 0 || ec) {
                continue;
            }
            kill(pid, SIGSTOP);
            const std::uintmax_t written = fs::file_size(temps[0], ec);
            if (!ec) {  // still a temporary file: stopped in the middle of the write
                EXPECT_LT(written, fullSize + 1);
                EXPECT_EQ(testing::ReadFileBytes(out), kOldContent) << "while stopped";
                ++caught;
            }
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            exited = true;
        }
        const Bytes now = testing::ReadFileBytes(out);
        if (now != kOldContent) {
            EXPECT_EQ(now.size(), fullSize) << "neither the old file nor the complete new one";
            ++finished;
        }
        for (const std::string& temp : Temporaries(dir.Path().string())) {
            fs::remove(temp);
        }
    }
    std::printf("caught mid-write: %d, finished before it could be caught: %d\n", caught, finished);
    EXPECT_EQ(caught, 1) << "the write was never caught in progress";
}

}  // namespace
}  // namespace cbmp
