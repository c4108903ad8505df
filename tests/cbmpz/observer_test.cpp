// The core library's file calls with a temporary-file observer, as cbmpz uses them: told of the
// temporary output while it exists, and of its end, whatever the outcome.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/cbmpcore.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace {

using cbmp::testing::Bytes;
using cbmp::testing::ReadFileBytes;
using cbmp::testing::TempDir;
using cbmp::testing::WriteFileBytes;

struct Seen {
    std::vector<std::string> events;
    bool existed = false;  // the temporary file was there when `created` came
};

void Created(int dirFd, const char* name, void* context) {
    auto& seen = *static_cast<Seen*>(context);
    struct stat st {};
    seen.existed = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                   (st.st_mode & 077) == 0;  // private while it is written
    seen.events.push_back(std::string("created ") + name);
}

void Finished(void* context) {
    static_cast<Seen*>(context)->events.push_back("finished");
}

Bytes SampleBmp() {
    cbmp::testing::BmpFields fields;
    fields.width = 64;
    fields.height = 48;
    fields.pixels = cbmp::testing::ImagePixels(cbmp::testing::ImageKind::kPhoto, 64, 48, 3);
    return cbmp::testing::BuildBmp(fields);
}

TEST(CoreObserver, ToldOfTheTemporaryFileFromStartToEnd) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    WriteFileBytes(bmp, SampleBmp());
    Seen seen;
    const cbmpcore_temp_observer observer{&Created, &Finished, &seen};

    ASSERT_EQ(cbmpcore_compress_file_observed(bmp.c_str(), (dir / "out.cbmp").c_str(), nullptr,
                                              &observer),
              CBMPCORE_OK);
    ASSERT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.events[0].rfind("created .cbmp-", 0), 0u) << seen.events[0];
    EXPECT_EQ(seen.events[1], "finished");
    EXPECT_TRUE(seen.existed);
    ASSERT_EQ(cbmpcore_compress_file(bmp.c_str(), (dir / "plain.cbmp").c_str(), nullptr),
              CBMPCORE_OK);
    EXPECT_EQ(ReadFileBytes(dir / "out.cbmp"), ReadFileBytes(dir / "plain.cbmp"));

    seen = Seen{};
    ASSERT_EQ(cbmpcore_decompress_file_observed((dir / "out.cbmp").c_str(),
                                                (dir / "back.bmp").c_str(), nullptr, &observer),
              CBMPCORE_OK);
    EXPECT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(ReadFileBytes(dir / "back.bmp"), SampleBmp());
}

TEST(CoreObserver, SilentWithoutATemporaryAndNullIsAllowed) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    WriteFileBytes(bmp, SampleBmp());
    Seen seen;
    const cbmpcore_temp_observer observer{&Created, &Finished, &seen};
    // A failure before any output, and an output written in place: no temporary file at all.
    WriteFileBytes(dir / "bad.bmp", Bytes{'B', 'M'});
    EXPECT_EQ(cbmpcore_compress_file_observed((dir / "bad.bmp").c_str(), (dir / "bad.cbmp").c_str(),
                                              nullptr, &observer),
              CBMPCORE_ERROR_NOT_BMP);
    EXPECT_EQ(cbmpcore_compress_file_observed(bmp.c_str(), "/dev/null", nullptr, &observer),
              CBMPCORE_OK);
    EXPECT_EQ(seen.events, std::vector<std::string>{});
    EXPECT_EQ(
        cbmpcore_compress_file_observed(bmp.c_str(), (dir / "o.cbmp").c_str(), nullptr, nullptr),
        CBMPCORE_OK);
    EXPECT_EQ(
        cbmpcore_compress_file_observed(nullptr, (dir / "o.cbmp").c_str(), nullptr, &observer),
        CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(dir.Entries().size(), 3u) << "in.bmp, bad.bmp, o.cbmp: no temporary left";
}

}  // namespace
