// The tool writing its data to the file that its standard output already writes to: the data
// comes out clean and whole, and the lines that would have gone there go to the standard error
// stream instead, with the same exit codes and error lines. POSIX only (/dev/stdout, pipes).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/run_process.h"
#include "tests/support/standard_output.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::RunProcess;
using testing::RunWithStandardOutput;
using testing::StandardOutput;
using testing::TempDir;

testing::StandardOutputRun RunTool(StandardOutput kind, const std::string& file,
                                   const std::vector<std::string>& args) {
    return RunWithStandardOutput(kind, file, [&args] {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        return 127;
    });
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// A bitmap large enough for progress lines, with both matches and literals.
std::string WriteBitmap(const TempDir& dir) {
    testing::BmpFields fields;
    fields.width = 256;
    fields.height = 200;
    fields.pixels = testing::ImageLike(256 * 3, 200, 3);
    const std::string path = dir / "in.bmp";
    testing::WriteFileBytes(path, testing::BuildBmp(fields));
    return path;
}

struct Mode {
    const char* flag;
    std::string input;
};

// Each mode into a pipe, a new file and a file that already holds data, named /dev/stdout,
// /proc/self/fd/1 or by its own path: the bytes that arrive are those of a run into a plain file,
// and the standard error stream holds the lines that run printed on its standard output.
TEST(CliStandardOutput, DataComesOutCleanAndLinesMoveToStandardError) {
    TempDir dir;
    const std::string bmp = WriteBitmap(dir);
    const std::string cbmp = dir / "plain.cbmp";
    const std::string back = dir / "plain.bmp";
    const auto packed = RunProcess({CBMP_EXE, "-c", bmp, cbmp});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const auto unpacked = RunProcess({CBMP_EXE, "-d", cbmp, back});
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    ASSERT_NE(packed.out.find("Progress"), std::string::npos);

    struct Plain {
        const char* flag;
        std::string input;
        std::string output;
        testing::ProcessResult run;
    };
    const Plain plains[] = {{"-c", bmp, cbmp, packed}, {"-d", cbmp, back, unpacked}};
    const std::string sink = dir / "sink";
    struct Target {
        StandardOutput kind;
        std::string name;  // the output argument; empty for the sink's own path
    };
    const Target targets[] = {
        {StandardOutput::kPipe, "/dev/stdout"},
        {StandardOutput::kPipe, "/proc/self/fd/1"},
        {StandardOutput::kFile, "/dev/stdout"},
        {StandardOutput::kFile, "/proc/self/fd/1"},
        {StandardOutput::kFile, ""},
        {StandardOutput::kAppendFile, "/dev/stdout"},
        {StandardOutput::kAppendFile, ""},
    };
    for (const Plain& plain : plains) {
        const std::string expected = testing::ReadWholeFile(plain.output);
        for (const Target& target : targets) {
            const std::string name = target.name.empty() ? sink : target.name;
            const std::string label = std::string(plain.flag) + " to " + name + " on a " +
                                      (target.kind == StandardOutput::kPipe ? "pipe" : "file") +
                                      (target.kind == StandardOutput::kAppendFile ? " (>>)" : "");
            const std::string before = "held before\n";
            testing::WriteFileBytes(sink, testing::Bytes(before.begin(), before.end()));
            const auto r = RunTool(target.kind, sink, {CBMP_EXE, plain.flag, plain.input, name});
            EXPECT_EQ(r.exitCode, 0) << label << ": " << r.err;
            const std::string kept = target.kind == StandardOutput::kAppendFile ? before : "";
            EXPECT_TRUE(r.data == kept + expected) << label << ": " << r.data.size() << " bytes";
            EXPECT_EQ(r.err, Replaced(plain.run.out, plain.output, name)) << label;
        }
    }
}

// Failures keep their exit code and their error lines; nothing reaches the data stream.
TEST(CliStandardOutput, FailuresKeepTheirLinesAndExitCode) {
    TempDir dir;
    const std::string bmp = WriteBitmap(dir);
    const std::string missing = dir / "missing.bmp";
    for (const StandardOutput kind : {StandardOutput::kPipe, StandardOutput::kFile}) {
        const std::string sink = dir / "sink";
        auto r = RunTool(kind, sink, {CBMP_EXE, "-d", bmp, "/dev/stdout"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.data, "");
        EXPECT_EQ(r.err, "Decompressing: " + bmp +
                             " -> /dev/stdout\nError: Not a valid CBMP file\n"
                             "Error: Decompression failed\n");
        r = RunTool(kind, sink, {CBMP_EXE, "-c", missing, "/proc/self/fd/1"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.data, "");
        EXPECT_EQ(r.err, "Compressing: " + missing +
                             " -> /proc/self/fd/1\nError: Cannot open file " + missing +
                             "\nError: Failed to read BMP file\n");
    }
}

// Only the standard output's own file moves the lines: another file, or a device that keeps
// nothing (/dev/null as both), leaves them where they were.
TEST(CliStandardOutput, OtherOutputsLeaveTheLinesOnStandardOutput) {
    TempDir dir;
    const std::string bmp = WriteBitmap(dir);
    auto r = RunTool(StandardOutput::kFile, "/dev/null", {CBMP_EXE, "-c", bmp, "/dev/null"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const std::string sink = dir / "sink";
    const std::string other = dir / "other.cbmp";
    r = RunTool(StandardOutput::kFile, sink, {CBMP_EXE, "-c", bmp, other});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.data.rfind("Compressing: " + bmp + " -> " + other + "\n", 0), 0u) << r.data;
}

}  // namespace
}  // namespace cbmp
