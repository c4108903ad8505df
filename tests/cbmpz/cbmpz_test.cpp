// cbmpz as its users run it: batches with failures among them, existing outputs, --rm, -t, -l,
// recursion through symbolic link loops, standard input and output, terminals, signals, and
// outputs byte for byte those of cbmp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/data_generator.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using cbmp::testing::Bytes;
using cbmp::testing::ImageKind;
using cbmp::testing::ReadFileBytes;
using cbmp::testing::TempDir;
using cbmp::testing::WriteFileBytes;

struct Result {
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// Where a child's standard streams go: a path to open, or a descriptor of the test's own.
struct Streams {
    std::string in = "/dev/null";
    int inFd = -1;
    int outFd = -1;  // else captured
    int errFd = -1;  // else captured
};

// Starts `args` with the given streams; a hung child is ended by SIGALRM after `seconds`.
pid_t Start(const std::vector<std::string>& args, const Streams& streams, int outFd, int errFd,
            unsigned seconds = 120) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = streams.inFd >= 0 ? streams.inFd : open(streams.in.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(streams.outFd >= 0 ? streams.outFd : outFd, 1);
        dup2(streams.errFd >= 0 ? streams.errFd : errFd, 2);
        alarm(seconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

Result Wait(pid_t pid) {
    Result result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
    }
    return result;
}

Result RunChild(const std::vector<std::string>& args, const Streams& streams = {}) {
    char outName[] = "/tmp/cbmpz-out-XXXXXX";
    char errName[] = "/tmp/cbmpz-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    Result result = Wait(Start(args, streams, outFd, errFd));
    close(outFd);
    close(errFd);
    result.out = cbmp::testing::ReadWholeFile(outName);
    result.err = cbmp::testing::ReadWholeFile(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

// cbmpz with `args`, its path first.
Result Z(std::vector<std::string> args, const Streams& streams = {}) {
    args.insert(args.begin(), CBMPZ_EXE);
    return RunChild(args, streams);
}

Bytes Bmp(ImageKind kind, std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    cbmp::testing::BmpFields fields;
    fields.width = static_cast<std::int32_t>(width);
    fields.height = static_cast<std::int32_t>(height);
    fields.pixels = cbmp::testing::ImagePixels(kind, width, height, seed);
    return cbmp::testing::BuildBmp(fields);
}

Bytes SmallBmp(std::uint32_t seed) {
    return Bmp(ImageKind::kPhoto, 37, 23, seed);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// What cbmp itself writes for `input`, with -c or -d.
Bytes CbmpOutput(const std::string& mode, const std::string& input, const TempDir& dir) {
    const std::string out = dir / "reference.out";
    const auto r = cbmp::testing::RunProcess({CBMP_EXE, mode, input, out});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    Bytes bytes = ReadFileBytes(out);
    fs::remove(out);
    return bytes;
}

std::vector<std::string> TemporaryFiles(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().rfind(".cbmp-", 0) == 0) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

TEST(Cbmpz, AFailingFileLeavesTheOthersConverted) {
    TempDir dir;
    std::vector<std::string> args = {"-j2"};
    for (int i = 0; i < 8; ++i) {
        const std::string name = dir / ("f" + std::to_string(i) + ".bmp");
        WriteFileBytes(name, SmallBmp(static_cast<std::uint32_t>(i)));
        args.push_back(name);
        if (i == 3) {
            const std::string bad = dir / "bad.bmp";
            WriteFileBytes(bad, Bytes{'B', 'M', 1, 2, 3});
            args.push_back(bad);
        }
    }
    args.push_back(dir / "missing.bmp");
    const Result r = Z(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cbmpz: " + (dir / "bad.bmp") + ": Not a valid BMP file\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("cbmpz: " + (dir / "missing.bmp") +
                         ": Cannot open file: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(Exists(dir / "bad.cbmp"));
    for (int i = 0; i < 8; ++i) {
        const std::string name = dir / ("f" + std::to_string(i));
        EXPECT_EQ(ReadFileBytes(name + ".cbmp"), CbmpOutput("-c", name + ".bmp", dir)) << name;
        EXPECT_TRUE(Exists(name + ".bmp")) << "inputs are kept by default";
    }
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

TEST(Cbmpz, AnExistingOutputIsKeptWithoutForce) {
    TempDir dir;
    const std::string a = dir / "a.bmp";
    const std::string b = dir / "b.bmp";
    WriteFileBytes(a, SmallBmp(1));
    WriteFileBytes(b, SmallBmp(2));
    const Bytes precious{'k', 'e', 'e', 'p'};
    WriteFileBytes(dir / "a.cbmp", precious);
    // A dangling symbolic link is an existing name too.
    fs::create_symlink(dir / "nowhere", dir / "c.cbmp");
    WriteFileBytes(dir / "c.bmp", SmallBmp(3));

    Result r = Z({"--rm", a, b, dir / "c.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: " + (dir / "a.cbmp") +
                         ": already exists; not overwritten (-f overwrites it)\ncbmpz: " +
                         (dir / "c.cbmp") +
                         ": already exists; not overwritten (-f overwrites it)\n");
    EXPECT_EQ(ReadFileBytes(dir / "a.cbmp"), precious);
    EXPECT_TRUE(Exists(a)) << "--rm keeps an input that was not converted";
    EXPECT_FALSE(Exists(dir / "nowhere"));
    EXPECT_TRUE(Exists(dir / "b.cbmp"));
    EXPECT_FALSE(Exists(b)) << "--rm removes a converted input";

    r = Z({"-f", a});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "a.cbmp"), CbmpOutput("-c", a, dir));
}

TEST(Cbmpz, RemoveKeepsEveryInputThatFailed) {
    TempDir dir;
    const std::string good = dir / "good.bmp";
    const std::string shortBmp = dir / "short.bmp";
    WriteFileBytes(good, SmallBmp(4));
    Bytes truncated = SmallBmp(5);
    truncated.resize(truncated.size() - 10);  // the pixels end early
    WriteFileBytes(shortBmp, truncated);
    const std::string cbmp = dir / "x.cbmp";
    const std::string corrupt = dir / "corrupt.cbmp";
    WriteFileBytes(dir / "x.bmp", SmallBmp(6));
    ASSERT_EQ(Z({dir / "x.bmp"}).exitCode, 0);
    Bytes damaged = ReadFileBytes(cbmp);
    damaged.resize(damaged.size() - 3);
    WriteFileBytes(corrupt, damaged);

    Result r = Z({"--rm", good, shortBmp});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: " + shortBmp + ": Failed to read pixel data\n");
    EXPECT_FALSE(Exists(good));
    EXPECT_TRUE(Exists(dir / "good.cbmp"));
    EXPECT_EQ(ReadFileBytes(shortBmp), truncated);
    EXPECT_FALSE(Exists(dir / "short.cbmp"));

    fs::remove(dir / "x.bmp");
    r = Z({"-d", "--rm", corrupt, cbmp});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: " + corrupt + ": Failed to read compressed data\n");
    EXPECT_EQ(ReadFileBytes(corrupt), damaged);
    EXPECT_FALSE(Exists(cbmp));
    EXPECT_EQ(ReadFileBytes(dir / "x.bmp"), SmallBmp(6));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

TEST(Cbmpz, TestFindsCorruptFilesAndWritesNothing) {
    TempDir dir;
    const std::string good = dir / "good.bmp";
    WriteFileBytes(good, Bmp(ImageKind::kPhoto, 200, 150, 7));
    ASSERT_EQ(Z({good}).exitCode, 0);
    const Bytes valid = ReadFileBytes(dir / "good.cbmp");
    Bytes flipped = valid;
    for (std::size_t i = 80; i < flipped.size(); i += 97) {
        flipped[i] ^= 0x5A;  // stream bytes changed: it no longer decodes to the stated size
    }
    WriteFileBytes(dir / "flipped.cbmp", flipped);
    Bytes version = valid;
    version[4] = 9;
    WriteFileBytes(dir / "version.cbmp", version);
    WriteFileBytes(dir / "empty.cbmp", Bytes{});
    fs::remove(good);
    const std::set<std::string> before = [&] {
        const auto entries = dir.Entries();
        return std::set<std::string>(entries.begin(), entries.end());
    }();

    const Result r = Z({"-t", "-v", dir / "good.cbmp", dir / "flipped.cbmp", dir / "version.cbmp",
                        dir / "empty.cbmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(dir / "good.cbmp" + ": OK\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cbmpz: " + (dir / "flipped.cbmp") + ": Decompression failed\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("cbmpz: " + (dir / "version.cbmp") + ": Unsupported CBMP version\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("cbmpz: " + (dir / "empty.cbmp") + ": Not a valid CBMP file\n"),
              std::string::npos)
        << r.err;
    const auto entries = dir.Entries();
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), before);
    EXPECT_EQ(Z({"-t", dir / "good.cbmp"}).exitCode, 0);
}

TEST(Cbmpz, RecursionNeverFollowsLinksToDirectories) {
    TempDir dir;
    const fs::path root = dir.Path() / "tree";
    fs::create_directories(root / "a" / "b");
    WriteFileBytes((root / "top.bmp").string(), SmallBmp(8));
    WriteFileBytes((root / "a" / "b" / "deep.BMP").string(), SmallBmp(9));
    WriteFileBytes((root / "a" / "notes.txt").string(), Bytes{'h', 'i'});
    fs::create_directory_symlink("..", root / "a" / "loop");       // back up the tree
    fs::create_directory_symlink(".", root / "a" / "b" / "self");  // itself
    fs::create_symlink("me", root / "me");                         // a link to itself
    fs::create_directory_symlink(dir.Path(), root / "outside");    // out of the tree

    Result r = Z({"-r", root.string()});
    EXPECT_EQ(r.signal, 0) << "the walk must end (SIGALRM means it did not)";
    EXPECT_EQ(r.exitCode, 2) << r.err;  // the links are warnings
    for (const char* link : {"a/loop", "a/b/self", "me", "outside"}) {
        EXPECT_NE(r.err.find((root / link).string() + ": is a symbolic link -- ignored\n"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_TRUE(Exists((root / "top.cbmp").string()));
    EXPECT_TRUE(Exists((root / "a" / "b" / "deep.cbmp").string()));
    EXPECT_FALSE(Exists((root / "a" / "notes.txt.cbmp").string())) << "only *.bmp in directories";
    EXPECT_FALSE(Exists((dir.Path() / "tree.cbmp").string()));

    // Decompressing the tree takes the .cbmp files; a link named on the command line that
    // leads to a directory is not entered either.
    fs::remove(root / "top.bmp");
    r = Z({"-d", "-r", "-q", root.string(), (root / "outside").string()});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.err, "");  // -q: no warnings shown, the exit status still tells
    EXPECT_EQ(ReadFileBytes((root / "top.bmp").string()), SmallBmp(8));
    EXPECT_EQ(Z({"-d", root.string()}).exitCode, 2) << "a directory without -r is a warning";
}

TEST(Cbmpz, StandardInputAndOutput) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    WriteFileBytes(bmp, Bmp(ImageKind::kFlat, 300, 200, 10));
    const Bytes expected = CbmpOutput("-c", bmp, dir);

    Streams fromFile;
    fromFile.in = bmp;
    Result r = Z({}, fromFile);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), expected);
    EXPECT_EQ(r.err, "");
    r = Z({"-"}, fromFile);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), expected);

    WriteFileBytes(dir / "in.cbmp", expected);
    Streams fromCbmp;
    fromCbmp.in = dir / "in.cbmp";
    r = Z({"-d"}, fromCbmp);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), ReadFileBytes(bmp));
    EXPECT_EQ(Z({"-t"}, fromCbmp).exitCode, 0);

    // Pipes at both ends, and -c on named files concatenated in order.
    const std::string command = std::string("'") + CBMPZ_EXE + "' < '" + bmp + "' | cat | '" +
                                CBMPZ_EXE + "' -d | cat > '" + (dir / "round.bmp") + "'";
    r = RunChild({"/bin/sh", "-c", command});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "round.bmp"), ReadFileBytes(bmp));
    r = Z({"-dc", dir / "in.cbmp", dir / "in.cbmp"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.size(), 2 * ReadFileBytes(bmp).size());
    EXPECT_FALSE(Exists(dir / "in.cbmp.bmp"));

    // Standard input among named files: it goes to standard output, the files to files.
    const std::string other = dir / "other.bmp";
    WriteFileBytes(other, SmallBmp(12));
    r = Z({other, "-"}, fromFile);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), expected);
    EXPECT_EQ(ReadFileBytes(dir / "other.cbmp"), CbmpOutput("-c", other, dir));

    // Garbage on standard input is an error about stdin, and nothing is written.
    Streams garbage;
    garbage.in = "/etc/hostname";
    r = Z({"-d"}, garbage);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: stdin: Not a valid CBMP file\n");
    EXPECT_EQ(r.out, "");
}

// A pseudo-terminal's two ends, closed on the way out.
struct Pty {
    int master = -1;
    int slave = -1;
    Pty() { openpty(&master, &slave, nullptr, nullptr, nullptr); }
    ~Pty() {
        close(master);
        close(slave);
    }
    // What the terminal received so far.
    std::string Drain() const {
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(master, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
};

TEST(Cbmpz, CompressedDataIsNeverWrittenToATerminalUnlessForced) {
    Pty pty;
    ASSERT_GE(pty.master, 0) << "no pseudo-terminal";
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    WriteFileBytes(bmp, SmallBmp(11));
    Streams toTerminal;
    toTerminal.in = bmp;
    toTerminal.outFd = pty.slave;

    Result r = Z({}, toTerminal);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: stdout: compressed data not written to a terminal (-f forces it)\n");
    r = Z({"-c", bmp}, toTerminal);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(pty.Drain(), "");

    // Nor read from one.
    Streams fromTerminal;
    fromTerminal.inFd = pty.slave;
    r = Z({"-d"}, fromTerminal);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: stdin: compressed data not read from a terminal (-f forces it)\n");

    r = Z({"-f"}, toTerminal);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pty.Drain().substr(0, 4), "CBMP");
    // A bitmap may go to a terminal.
    ASSERT_EQ(Z({bmp}).exitCode, 0);
    r = Z({"-dc", dir / "in.cbmp"}, toTerminal);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pty.Drain().substr(0, 2), "BM");
}

// Runs cbmpz stopped for 300 ms after every `slice` it runs (none: not stopped), so that a
// quick build still takes long enough for progress updates (the first comes after 0.5 s).
Result ZSlowed(std::vector<std::string> args, const Streams& streams,
               std::chrono::microseconds slice) {
    args.insert(args.begin(), CBMPZ_EXE);
    char errName[] = "/tmp/cbmpz-err-XXXXXX";
    const int errFd = mkstemp(errName);
    const int sink = open("/dev/null", O_WRONLY);
    const pid_t pid = Start(args, streams, sink, errFd);
    int status = 0;
    while (waitpid(pid, &status, slice.count() > 0 ? WNOHANG : 0) == 0) {
        usleep(static_cast<useconds_t>(slice.count()));
        kill(pid, SIGSTOP);
        usleep(300000);
        kill(pid, SIGCONT);
    }
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(sink);
    close(errFd);
    result.err = cbmp::testing::ReadWholeFile(errName);
    unlink(errName);
    return result;
}

TEST(Cbmpz, ProgressOnlyOnATerminal) {
    TempDir dir;
    std::vector<std::string> args = {"-f", "-j2"};
    for (int i = 0; i < 3; ++i) {
        const std::string name = dir / ("n" + std::to_string(i) + ".bmp");
        WriteFileBytes(name, Bmp(ImageKind::kNoise, 1000, 800, static_cast<std::uint32_t>(i)));
        args.push_back(name);
    }
    const auto start = std::chrono::steady_clock::now();
    Result r = ZSlowed(args, Streams{}, std::chrono::microseconds(0));
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "") << "no progress when standard error is not a terminal";

    // Stretched to a few seconds whatever the build: eight slices of the time it took.
    const auto slice = took > std::chrono::milliseconds(1500)
                           ? std::chrono::microseconds(0)
                           : std::max(std::chrono::microseconds(5000), took / 8);
    Pty pty;
    ASSERT_GE(pty.master, 0) << "no pseudo-terminal";
    Streams terminal;
    terminal.errFd = pty.slave;
    r = ZSlowed(args, terminal, slice);
    EXPECT_EQ(r.exitCode, 0);
    const std::string shown = pty.Drain();
    EXPECT_NE(shown.find("cbmpz: "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" of 6.9 MiB, "), std::string::npos) << shown;  // 3 x 2,400,054 bytes
    EXPECT_NE(shown.find("/s, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" left"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\n"), std::string::npos) << "the line is taken away at the end";
}

TEST(Cbmpz, ListShowsEachHeaderAsATable) {
    TempDir dir;
    cbmp::testing::BmpFields topDown;
    topDown.width = 40;
    topDown.height = -30;
    topDown.pixels = cbmp::testing::ImagePixels(ImageKind::kGradient, 40, 30, 1);
    WriteFileBytes(dir / "a.bmp", cbmp::testing::BuildBmp(topDown));
    cbmp::testing::BmpFields paletted = cbmp::testing::V5HeaderBmp();
    WriteFileBytes(dir / "b.bmp", cbmp::testing::BuildBmp(paletted));
    ASSERT_EQ(Z({dir / "a.bmp", dir / "b.bmp"}).exitCode, 0);
    WriteFileBytes(dir / "junk.cbmp", Bytes(100, 7));
    const auto size = [&](const std::string& name) { return fs::file_size(dir / name); };

    const Result r = Z({"-l", dir / "a.cbmp", dir / "junk.cbmp", dir / "b.cbmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cbmpz: " + (dir / "junk.cbmp") + ": Not a valid CBMP file\n");
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        rows.emplace_back(std::istream_iterator<std::string>(words),
                          std::istream_iterator<std::string>());
    }
    ASSERT_EQ(rows.size(), 4u) << r.out;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"width", "height", "bits", "compressed",
                                                 "original", "saved", "name"}));
    const auto saved = [](double compressed, double original) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f%%", 100.0 * (1.0 - compressed / original));
        return std::string(text);
    };
    const std::uintmax_t aBmp = size("a.bmp");
    const std::uintmax_t bBmp = size("b.bmp");
    EXPECT_EQ(rows[1], (std::vector<std::string>{
                           "40", "30", "24", std::to_string(size("a.cbmp")), std::to_string(aBmp),
                           saved(double(size("a.cbmp")), double(aBmp)), dir / "a.cbmp"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{
                           "16", "8", "8", std::to_string(size("b.cbmp")), std::to_string(bBmp),
                           saved(double(size("b.cbmp")), double(bBmp)), dir / "b.cbmp"}));
    const std::uintmax_t compressed = size("a.cbmp") + size("b.cbmp");
    EXPECT_EQ(rows[3], (std::vector<std::string>{
                           std::to_string(compressed), std::to_string(aBmp + bBmp),
                           saved(double(compressed), double(aBmp + bBmp)), "(2", "files)"}));
}

TEST(Cbmpz, OutputsAreByteForByteThoseOfCbmp) {
    TempDir dir;
    std::vector<Bytes> inputs = {
        ReadFileBytes(CBMP_SAMPLE_BMP),
        cbmp::testing::BuildBmp(cbmp::testing::V5HeaderBmp()),
        cbmp::testing::BuildBmp(cbmp::testing::BitFieldsBmp()),
        cbmp::testing::BuildBmp(cbmp::testing::PalettedTrueColourBmp()),
        cbmp::testing::BuildBmp(cbmp::testing::GapBeforePixelsBmp()),
        Bmp(ImageKind::kPhoto, 500, 350, 3),
        Bmp(ImageKind::kGradient, 1500, 1000, 4),  // over 4 MiB: helper threads of its own
    };
    std::vector<std::string> args = {"-j3"};
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string name = dir / ("i" + std::to_string(i) + ".bmp");
        WriteFileBytes(name, inputs[i]);
        args.push_back(name);
    }
    ASSERT_EQ(Z(args).exitCode, 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string name = dir / ("i" + std::to_string(i));
        EXPECT_EQ(ReadFileBytes(name + ".cbmp"), CbmpOutput("-c", name + ".bmp", dir)) << name;
        fs::rename(name + ".bmp", name + ".orig");
    }
    args[0] = "-dj1";
    for (std::size_t i = 1; i < args.size(); ++i) {
        args[i] = args[i].substr(0, args[i].size() - 4) + ".cbmp";
    }
    ASSERT_EQ(Z(args).exitCode, 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string name = dir / ("i" + std::to_string(i));
        EXPECT_EQ(ReadFileBytes(name + ".bmp"), CbmpOutput("-d", name + ".cbmp", dir)) << name;
        EXPECT_EQ(ReadFileBytes(name + ".bmp"), inputs[i]) << name;
    }
    // -o names the one output.
    ASSERT_EQ(Z({"-o", dir / "named.cbmp", dir / "i0.orig"}).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir / "named.cbmp"), ReadFileBytes(dir / "i0.cbmp"));
}

// An interrupted batch: SIGINT sent the moment a temporary output appears. Each attempt must
// end by the signal with no temporary file left, every input either intact or (under --rm)
// removed only after its complete output is in place. The attempts go on until one caught a
// temporary file that the handler then removed, so that this path really ran.
TEST(Cbmpz, AnInterruptedBatchLeavesNoTemporaryAndNoLostInput) {
    TempDir dir;
    std::vector<Bytes> bitmaps;
    for (std::uint32_t i = 0; i < 4; ++i) {
        bitmaps.push_back(Bmp(ImageKind::kFlat, 2500, 1600, i));  // 12 MB each
    }
    int caught = 0;
    for (int attempt = 0; attempt < 8 && caught == 0; ++attempt) {
        const fs::path batch = dir.Path() / ("attempt" + std::to_string(attempt));
        fs::create_directory(batch);
        std::vector<std::string> args = {CBMPZ_EXE, "-j2", "--rm", "-r", batch.string()};
        for (std::size_t i = 0; i < bitmaps.size(); ++i) {
            WriteFileBytes((batch / ("p" + std::to_string(i) + ".bmp")).string(), bitmaps[i]);
        }
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, batch.c_str(), IN_CREATE | IN_MOVED_FROM | IN_DELETE),
                  0);
        const int sink = open("/dev/null", O_WRONLY);
        const pid_t pid = Start(args, Streams{}, sink, sink);
        std::string pending;  // the temporary file that existed when the signal went
        bool sent = false;
        bool removed = false;
        for (;;) {
            pollfd poller{watch, POLLIN, 0};
            if (poll(&poller, 1, sent ? 200 : 20000) <= 0) {
                break;
            }
            alignas(inotify_event) char buffer[8192];
            const ssize_t got = read(watch, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                inotify_event header{};  // copied out: the buffer holds events end to end
                std::memcpy(&header, buffer + at, sizeof header);
                const inotify_event* event = &header;
                // The name is padded with NULs to `len` bytes.
                const std::string name =
                    header.len > 0 ? std::string(buffer + at + sizeof header) : std::string();
                at += static_cast<ssize_t>(sizeof header + header.len);
                if (name.rfind(".cbmp-", 0) != 0) {
                    continue;
                }
                if (!sent && (event->mask & IN_CREATE) != 0) {
                    kill(pid, SIGINT);
                    sent = true;
                    pending = name;
                } else if (sent && name == pending) {
                    // Renamed into place before the signal was acted on, or removed.
                    removed = (event->mask & IN_DELETE) != 0;
                    pending.clear();
                }
            }
        }
        close(watch);
        close(sink);
        const Result r = Wait(pid);
        ASSERT_TRUE(sent) << "no temporary file ever appeared";
        EXPECT_EQ(r.signal, SIGINT) << "exit code " << r.exitCode;
        EXPECT_EQ(TemporaryFiles(batch), std::vector<std::string>{});
        for (std::size_t i = 0; i < bitmaps.size(); ++i) {
            const std::string stem = (batch / ("p" + std::to_string(i))).string();
            if (Exists(stem + ".bmp")) {
                EXPECT_EQ(ReadFileBytes(stem + ".bmp"), bitmaps[i]) << stem;
            } else {
                EXPECT_EQ(Z({"-dc", stem + ".cbmp"}).out.size(), bitmaps[i].size()) << stem;
            }
            if (Exists(stem + ".cbmp")) {
                EXPECT_EQ(Z({"-t", stem + ".cbmp"}).exitCode, 0) << "incomplete: " << stem;
            }
        }
        caught += removed ? 1 : 0;
        std::printf("attempt %d: %s\n", attempt + 1,
                    removed ? "the handler removed a pending temporary file"
                            : "no temporary file was pending when the signal came");
    }
    if (caught == 0) {
        GTEST_SKIP() << "in 8 attempts the signal never arrived while a temporary file existed: "
                        "the removal itself was not exercised on this host";
    }
}

TEST(Cbmpz, HelpVersionAndUsageErrors) {
    Result r = Z({"-h"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: cbmpz [OPTION]... [FILE]...\n", 0), 0u) << r.out;
    r = Z({"-V"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string("cbmpz ") + CBMP_VERSION_TEXT + "\n");
    r = Z({"--frobnicate"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "cbmpz: unrecognized option '--frobnicate'\nTry 'cbmpz --help' for more "
              "information.\n");
    TempDir dir;
    WriteFileBytes(dir / "a.cbmp", Bytes{1});
    r = Z({dir / "a.cbmp", dir / "c.txt"});
    EXPECT_EQ(r.exitCode, 1) << "the missing file is an error, the suffix a warning";
    EXPECT_EQ(r.err, "cbmpz: " + (dir / "c.txt") +
                         ": Cannot open file: No such file or directory\ncbmpz: " +
                         (dir / "a.cbmp") + ": already has the .cbmp suffix -- unchanged\n");
    r = Z({"-d", dir / "a.cbmp.bak"});
    EXPECT_EQ(r.exitCode, 1);
    WriteFileBytes(dir / "b.bak", Bytes{1});
    r = Z({"-d", dir / "b.bak"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "cbmpz: " + (dir / "b.bak") + ": unknown suffix -- ignored\n");
}

}  // namespace
