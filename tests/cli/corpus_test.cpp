// Round trip of real-world BMP files through the tool: good and questionable files whose stated
// size is their length come back byte for byte; bad and foreign files either round-trip too or
// fail with an error line and exit code 1. Nothing crashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "image/le_fields.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RunProcess;
using testing::TempDir;

struct Tally {
    int identical = 0;
    int failedCleanly = 0;
    int other = 0;  // round trips of files whose bfSize is not their length
};

// The corpus folder: CBMP_CORPUS_DIR in the environment of the test run, else the one beside the
// checkout.
fs::path CorpusDir() {
    const char* dir = std::getenv("CBMP_CORPUS_DIR");
    return dir != nullptr && *dir != '\0' ? fs::path(dir) : fs::path(CBMP_DEFAULT_CORPUS_DIR);
}

void RunFolder(const std::string& folder, bool mustRoundTrip, Tally& tally) {
    const fs::path root = CorpusDir() / folder;
    if (!fs::is_directory(root)) {
        return;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(root)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    TempDir dir;
    for (const fs::path& file : files) {
        const std::string name = folder + "/" + file.filename().string();
        const Bytes original = testing::ReadFileBytes(file.string());
        const bool exact = original.size() >= 6 && ReadU32LE(&original[2]) == original.size();
        const std::string cbmp = dir / "x.cbmp";
        const std::string back = dir / "x.bmp";
        fs::remove(cbmp);
        fs::remove(back);

        const auto c = RunProcess({CBMP_EXE, "-c", file.string(), cbmp});
        EXPECT_EQ(c.signal, 0) << name;
        if (c.exitCode != 0) {
            EXPECT_EQ(c.exitCode, 1) << name;
            EXPECT_EQ(c.err.rfind("Error: ", 0), 0u) << name;
            EXPECT_FALSE(fs::exists(cbmp)) << name;
            EXPECT_FALSE(mustRoundTrip && exact) << name << ": " << c.err;
            ++tally.failedCleanly;
            continue;
        }
        const auto d = RunProcess({CBMP_EXE, "-d", cbmp, back});
        EXPECT_EQ(d.exitCode, 0) << name << ": " << d.err;
        if (exact) {
            EXPECT_EQ(testing::ReadFileBytes(back), original) << name;
            ++tally.identical;
        } else {
            ++tally.other;
        }
    }
}

TEST(Corpus, RoundTripsOrFailsCleanly) {
    if (!fs::is_directory(CorpusDir())) {
        GTEST_SKIP() << "no corpus at " << CorpusDir().string();
    }
    for (const auto& [folder, strict] : {std::pair{"g", true}, std::pair{"q", true},
                                         std::pair{"b", false}, std::pair{"x", false}}) {
        Tally tally;
        RunFolder(folder, strict, tally);
        std::printf("%s/: %d byte for byte, %d other round trips, %d failed cleanly\n", folder,
                    tally.identical, tally.other, tally.failedCleanly);
    }
}

}  // namespace
}  // namespace cbmp
