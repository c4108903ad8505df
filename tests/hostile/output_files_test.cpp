// Output files through the tool and the library's operations: the arguments that could destroy
// a bitmap, an output that is the input, console text that must never reach a file, signals that
// must never leave a temporary file behind, and /dev/stdout on a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_driver.h"
#include "cli/signal_cleanup.h"
#include "io/output_file.h"
#include "library/entry_points.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunInChild;
using testing::RunTool;
using testing::TempDir;

Bytes SmallBmp() {
    testing::BmpFields image;
    image.width = 32;
    image.height = 32;
    image.pixels = testing::RandomBytes(32 * 32 * 3, 7);
    return testing::BuildBmp(image);
}

// "cbmp -c *.bmp": everything after the output is refused before anything is written.
TEST(OutputFiles, ArgumentsAfterTheOutputAreRefused) {
    TempDir dir;
    const Bytes bmp = SmallBmp();
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) {
        testing::WriteFileBytes(dir / name, bmp);
    }
    const std::string usage = RunTool({CBMP_EXE, "-h"}).out;
    for (const char* mode : {"-c", "-d"}) {
        const auto r = RunTool({CBMP_EXE, mode, dir / "a.bmp", dir / "b.bmp", dir / "c.bmp"});
        EXPECT_EQ(r.exitCode, 1) << mode;
        EXPECT_EQ(r.err, "Error: Too many arguments\n") << mode;
        EXPECT_EQ(r.out, usage) << mode;
        EXPECT_EQ(testing::ReadFileBytes(dir / "b.bmp"), bmp) << mode;
    }
    EXPECT_EQ(dir.Entries().size(), 3u);
}

// The output is the input under any name: refused in both modes, the input kept, nothing else
// left; the library's operations report the same and still return 999.
TEST(OutputFiles, OutputThatIsTheInputIsRefused) {
    TempDir dir;
    const Bytes bmp = SmallBmp();
    const std::string input = dir / "in.bmp";
    testing::WriteFileBytes(input, bmp);
    const std::string cbmp = dir / "in.cbmp";
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", input, cbmp}).exitCode, 0);
    const Bytes compressed = testing::ReadFileBytes(cbmp);
    fs::create_hard_link(input, dir / "hard.bmp");
    fs::create_symlink("in.cbmp", dir / "soft.cbmp");

    const struct {
        const char* mode;
        std::string input;
        std::vector<std::string> outputs;
        const char* failure;
    } cases[] = {
        {"-c", input, {input, dir / "hard.bmp", dir / "./in.bmp"}, "Compression failed"},
        {"-d", cbmp, {cbmp, dir / "soft.cbmp"}, "Decompression failed"},
    };
    for (const auto& c : cases) {
        for (const std::string& output : c.outputs) {
            const auto r = RunTool({CBMP_EXE, c.mode, c.input, output});
            EXPECT_EQ(r.exitCode, 1) << output;
            EXPECT_EQ(r.err, std::string("Error: Output file is the input file\nError: ") +
                                 c.failure + "\n")
                << output;
        }
    }
    const std::string err = dir / "err.txt";
    const auto library = RunInChild([&] {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        const bool refused = CompactFile(input.c_str(), (dir / "hard.bmp").c_str()) == 999 &&
                             DecompactFile(cbmp.c_str(), (dir / "soft.cbmp").c_str()) == 999;
        std::fflush(nullptr);
        return refused ? 0 : 1;
    });
    EXPECT_EQ(library.exitCode, 0);
    EXPECT_EQ(testing::ReadWholeFile(err),
              "Error: Output file is the input file\nError: Compression failed\n"
              "Error: Output file is the input file\nError: Decompression failed\n");
    fs::remove(err);
    EXPECT_EQ(testing::ReadFileBytes(input), bmp);
    EXPECT_EQ(testing::ReadFileBytes(cbmp), compressed);
    EXPECT_EQ(dir.Entries().size(), 4u);
}

// A host whose standard streams are closed: neither the input nor the output may take
// descriptor 0, 1 or 2, or text written to them (here, at the moment the output file exists)
// would land in the file.
TEST(OutputFiles, ConsoleTextNeverReachesAFile) {
    TempDir dir;
    const Bytes bmp = SmallBmp();
    const std::string input = dir / "in.bmp";
    testing::WriteFileBytes(input, bmp);
    const std::string expected = dir / "expected.cbmp";
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", input, expected}).exitCode, 0);
    const std::string cbmp = dir / "out.cbmp";
    const std::string back = dir / "back.bmp";
    const auto run = RunInChild([&] {
        SetTempCreatedHookForTesting([](int, const char*) {
            for (int fd = 0; fd <= 2; ++fd) {
                if (write(fd, "console text\n", 13) < 0) {
                    continue;
                }
            }
        });
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        return CompactFile(input.c_str(), cbmp.c_str()) == 999 &&
                       DecompactFile(cbmp.c_str(), back.c_str()) == 999
                   ? 0
                   : 1;
    });
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(cbmp), testing::ReadFileBytes(expected));
    EXPECT_EQ(testing::ReadFileBytes(back), bmp);
}

// Every catchable signal that ends the process removes the temporary file, even one that
// arrives between its creation and its registration with the handler (raised right there).
int g_signal = 0;

TEST(OutputFiles, EndingSignalsLeaveNoTemporary) {
    TempDir dir;
    const std::string input = dir / "in.bmp";
    testing::WriteFileBytes(input, SmallBmp());
    const std::string output = dir / "out.cbmp";
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
                          SIGVTALRM, SIGRTMIN}) {
        g_signal = sig;
        const auto r = RunInChild([&] {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            InstallSignalCleanup();
            SetTempCreatedHookForTesting([](int, const char*) { raise(g_signal); });
            std::vector<std::string> args = {"cbmp", "-c", input, output};
            char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                            nullptr};
            return RunCli(4, argv);
        });
        EXPECT_EQ(r.signal, sig) << strsignal(sig);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"}) << strsignal(sig);
    }
}

// /dev/stdout on a pipe can only be written in place.
TEST(OutputFiles, StandardOutputOnAPipe) {
    TempDir dir;
    const std::string input = dir / "in.bmp";
    testing::WriteFileBytes(input, SmallBmp());
    const std::string expected = dir / "expected.cbmp";
    ASSERT_EQ(RunTool({CBMP_EXE, "-c", input, expected}).exitCode, 0);
    const Bytes bytes = testing::ReadFileBytes(expected);
    const auto r = RunTool({CBMP_EXE, "-c", input, "/dev/stdout"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(bytes.begin(), bytes.end())), std::string::npos);
}

}  // namespace
}  // namespace cbmp
