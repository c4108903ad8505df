// Files are the same on every host: a bitmap built from seeded integer generators (identical on
// every platform) must compress, through the tool, to the very same CBMP bytes on 32-bit ARM, on
// big-endian s390x and on x86-64, and come back unchanged. The expected digest was taken from an
// x86-64 build; a host whose stream or header differs in a single bit fails here.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/hostile/hostile_support.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::Bytes;

std::uint64_t Fnv1a(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const std::uint8_t b : bytes) {
        h = (h ^ b) * 0x100000001b3u;
    }
    return h;
}

TEST(SameBytesOnEveryHost, CompressedFileMatchesTheDigest) {
    testing::BmpFields fields;
    fields.bitCount = 8;
    fields.width = 256;
    fields.height = 280;
    fields.colourBlock = testing::RandomBytes(1024, 61);
    // Image rows, runs and a small-alphabet stretch: literals, near and far matches, repeats
    // longer than 258 bytes, and more than 64 KiB in all.
    fields.pixels = testing::ImageLike(64, 48, 62);
    const Bytes runs = testing::Runs(20000, 300, 63);
    const Bytes text = testing::RandomText(42000, 3, 64);
    fields.pixels.insert(fields.pixels.end(), runs.begin(), runs.end());
    fields.pixels.insert(fields.pixels.end(), text.begin(), text.end());
    const Bytes bmp = testing::BuildBmp(fields);

    testing::TempDir dir;
    const std::string in = dir / "in.bmp";
    const std::string cbmp = dir / "out.cbmp";
    const std::string back = dir / "back.bmp";
    testing::WriteFileBytes(in, bmp);
    const auto c = testing::RunTool({CBMP_EXE, "-c", in, cbmp});
    ASSERT_EQ(c.exitCode, 0) << c.err;
    const Bytes file = testing::ReadFileBytes(cbmp);
    EXPECT_EQ(file.size(), 53690u);
    EXPECT_EQ(Fnv1a(file), 0xd0bcfb8d5879eb90u);
    const auto d = testing::RunTool({CBMP_EXE, "-d", cbmp, back});
    ASSERT_EQ(d.exitCode, 0) << d.err;
    EXPECT_EQ(testing::ReadFileBytes(back), bmp);
}

}  // namespace
}  // namespace cbmp
