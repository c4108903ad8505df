// Hostile inputs through the real executable. Each file derives from a good BMP or CBMP file by
// one change: cut short at every header field and inside every block, size fields set to extreme
// values, odd dimensions and depths, damaged streams. Every run must end with exit code 1, error
// lines only on standard error and no output file, or with exit code 0 and a file that restores
// correctly. Where the platform allows, each run has a 256 MiB address-space limit (the inputs are
// all far below 1 MiB), so a file that talks the tool into a huge allocation fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/hostile/hostile_support.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Cut;
using testing::Get32;
using testing::Put16;
using testing::Put32;
using testing::TempDir;

struct Case {
    std::string name;
    Bytes bytes;
};

// An 8-bit image with a 16-entry palette: every header field and both blocks matter.
Bytes GoodBmp() {
    testing::BmpFields fields;
    fields.bitCount = 8;
    fields.width = 16;
    fields.height = 8;
    fields.clrUsed = 16;
    fields.sizeImage = 128;
    fields.colourBlock = testing::RandomBytes(64, 21);
    fields.pixels = testing::RandomText(128, 4, 22);
    return testing::BuildBmp(fields);
}

// Offsets where the fields of the 54 header bytes start.
constexpr std::size_t kBmpFields[] = {0,  2,  6,  8,  10, 14, 18, 22, 26,
                                      28, 30, 34, 38, 42, 46, 50, 54};
constexpr std::size_t kCbmpFields[] = {0,  4,  8,  12, 16, 20, 22, 24, 28,
                                       32, 36, 40, 44, 48, 52, 56, 60};
constexpr std::uint32_t kExtremes[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF};

std::vector<Case> HostileBmps(const Bytes& good) {
    std::vector<Case> cases;
    auto add = [&](std::string name, Bytes bytes) { cases.push_back({std::move(name), bytes}); };
    auto with32 = [&](std::size_t at, std::uint32_t value) {
        Bytes b = good;
        Put32(b, at, value);
        return b;
    };
    // Cut at the start of every field and one byte into it, and inside both blocks.
    for (const std::size_t at : kBmpFields) {
        add("cut-" + std::to_string(at), Cut(good, at));
        if (at < 54) {
            add("cut-" + std::to_string(at + 1), Cut(good, at + 1));
        }
    }
    for (const std::size_t at : {55u, 117u, 118u, 119u, 150u}) {
        add("cut-" + std::to_string(at), Cut(good, at));
    }
    add("cut-last-byte", Cut(good, good.size() - 1));
    // Every size field (and both dimensions) at the extremes, alone and with a pixel offset below
    // 54, where the palette size follows from the depth and biClrUsed instead.
    const std::pair<const char*, std::size_t> sizeFields[] = {
        {"bfSize", 2},    {"bfOffBits", 10},   {"biSize", 14},    {"biWidth", 18},
        {"biHeight", 22}, {"biSizeImage", 34}, {"biClrUsed", 46}, {"biClrImportant", 50}};
    for (const auto& [field, at] : sizeFields) {
        for (const std::uint32_t value : kExtremes) {
            const std::string name = std::string(field) + "=" + std::to_string(value);
            Bytes b = with32(at, value);
            add(name, b);
            if (at != 10) {
                Put32(b, 10, 20);
                add(name + ",bfOffBits=20", b);
            }
        }
    }
    for (const std::int32_t w : {-16, -1, INT32_MIN}) {
        add("width" + std::to_string(w), with32(18, static_cast<std::uint32_t>(w)));
        add("height" + std::to_string(w), with32(22, static_cast<std::uint32_t>(w)));
    }
    for (const std::uint32_t bits : {0u, 1u, 4u, 8u, 24u, 32u, 30000u, 0xFFFFu}) {
        for (const std::uint32_t offBits : {118u, 0u}) {
            Bytes b = good;
            Put16(b, 28, bits);
            Put32(b, 10, offBits);
            Put32(b, 46, 0);  // biClrUsed 0: the palette is 2^biBitCount entries
            add("biBitCount=" + std::to_string(bits) + ",bfOffBits=" + std::to_string(offBits), b);
        }
    }
    for (const std::uint32_t used : {0x3FFFFFFFu, 0x40000000u, 0x40000001u, 0xFFFFFFFFu}) {
        Bytes b = with32(46, used);
        Put32(b, 10, 0);
        add("biClrUsed=" + std::to_string(used) + ",bfOffBits=0", b);
    }
    for (const std::uint32_t offBits : {0u, 53u, 54u, 182u, 183u, 0x10000u}) {
        add("bfOffBits=" + std::to_string(offBits), with32(10, offBits));
    }
    add("bfSize-below-offset", with32(2, 100));
    add("bfSize-past-end", with32(2, static_cast<std::uint32_t>(good.size()) + 1));
    add("bfSize-far", with32(2, 0xFFFFFF00));
    Bytes trailing = good;
    trailing.insert(trailing.end(), 1000, 0xAB);
    add("trailing-bytes", trailing);
    Bytes wrongSignature = good;
    wrongSignature[1] = 'A';
    add("signature-BA", wrongSignature);
    add("empty", {});
    return cases;
}

std::vector<Case> HostileCbmps(const Bytes& good) {
    std::vector<Case> cases;
    auto add = [&](std::string name, Bytes bytes) { cases.push_back({std::move(name), bytes}); };
    auto with32 = [&](std::size_t at, std::uint32_t value) {
        Bytes b = good;
        Put32(b, at, value);
        return b;
    };
    const std::uint32_t streamSize = Get32(good, 48);
    const std::uint32_t originalSize = Get32(good, 52);
    for (const std::size_t at : kCbmpFields) {
        add("cut-" + std::to_string(at), Cut(good, at));
        if (at < 60) {
            add("cut-" + std::to_string(at + 1), Cut(good, at + 1));
        }
    }
    for (const std::uint32_t version : {0u, 2u, 0xFFFFFFFFu}) {
        add("version=" + std::to_string(version), with32(4, version));
    }
    for (const auto& [field, at] :
         {std::pair{"compressed", 48}, std::pair{"original", 52}, std::pair{"palette", 56},
          std::pair{"biSize", 8}, std::pair{"biClrUsed", 40}}) {
        for (const std::uint32_t value : kExtremes) {
            add(std::string(field) + "=" + std::to_string(value),
                with32(static_cast<std::size_t>(at), value));
        }
    }
    // Compressed sizes 0 to 3 with exactly that many stream bytes.
    for (std::uint32_t n = 0; n <= 3; ++n) {
        Bytes b = Cut(good, 60 + n);
        Put32(b, 48, n);
        add("compressed-size-" + std::to_string(n), b);
    }
    // The stream cut at every byte: once with the header's size left as it was (the file is
    // short), once with the size saying where the stream now ends (the stream is short).
    for (std::uint32_t n = 4; n < streamSize; ++n) {
        add("stream-cut-" + std::to_string(n), Cut(good, 60 + n));
        Bytes b = Cut(good, 60 + n);
        Put32(b, 48, n);
        add("stream-ends-" + std::to_string(n), b);
    }
    add("original-size-plus-1", with32(52, originalSize + 1));
    add("original-size-minus-1", with32(52, originalSize - 1));
    add("original-size-half", with32(52, originalSize / 2));
    add("palette-equals-original", with32(56, originalSize));
    add("palette-past-original", with32(56, originalSize + 1));
    Bytes trailing = good;
    trailing.insert(trailing.end(), 500, 0xCD);
    add("trailing-bytes", trailing);
    Bytes magic = good;
    magic[3] = 'Q';
    add("magic-CBMQ", magic);

    // Hand-made streams the encoder never writes.
    using testing::CbmpFile;
    using testing::PlainStream;
    add("end-marker-first", CbmpFile(PlainStream(4).End().bytes(), 4, 0));
    add("early-end-marker",
        CbmpFile(PlainStream(8).Literal('a').Literal('b').Literal('c').End().bytes(), 8, 0));
    add("match-at-start", CbmpFile(PlainStream(10).Match(2, 10).End().bytes(), 10, 0));
    add("match-before-start",
        CbmpFile(PlainStream(6).Literal('a').Literal('b').Match(3, 4).End().bytes(), 6, 0));
    add("farthest-match-before-start",
        CbmpFile(PlainStream(300).Literal('x').Literal('y').Match(32768, 258).End().bytes(), 300,
                 0));
    add("no-end-marker", CbmpFile(PlainStream(5).Literal('a').Literal('b').bytes(), 5, 0));
    add("match-past-size",  // allowed: the output stops at the declared size
        CbmpFile(PlainStream(6).Literal('a').Literal('b').Match(2, 258).End().bytes(), 6, 0));
    add("declared-size-beyond-stream",
        CbmpFile(PlainStream(3).Literal('a').End().bytes(), 0xFFFFFFFFu, 0));
    add("empty", {});
    return cases;
}

class HostileFiles : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(dir_.Path() / "out")); }

    testing::ProcessResult Run(const std::string& mode, const std::string& in,
                               const std::string& out) {
        return testing::RunTool({CBMP_EXE, mode, in, out});
    }

    // The run failed cleanly: exit code 1, error lines only, no success line, no output file
    // and nothing left in the output folder.
    void ExpectCleanFailure(const testing::ProcessResult& r, const std::string& out,
                            const std::string& name) {
        EXPECT_EQ(r.signal, 0) << name;
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_TRUE(testing::OnlyErrorLines(r.err)) << name;
        EXPECT_EQ(r.out.find("successful"), std::string::npos) << name;
        EXPECT_FALSE(fs::exists(out)) << name;
        EXPECT_TRUE(fs::is_empty(dir_.Path() / "out")) << name;
    }

    void ClearOutputs() {
        for (const auto& entry : fs::directory_iterator(dir_.Path() / "out")) {
            fs::remove(entry.path());
        }
    }

    TempDir dir_;
};

TEST_F(HostileFiles, BmpInputsFailCleanlyOrRoundTrip) {
    if (const char* why = testing::AddressLimitUnavailable()) {
        std::printf("note: runs without the address-space limit: %s\n", why);
    }
    const Bytes good = GoodBmp();
    int accepted = 0;
    int refused = 0;
    for (const Case& c : HostileBmps(good)) {
        const std::string in = dir_ / ("in-" + c.name + ".bmp");
        const std::string out = dir_ / "out/x.cbmp";
        testing::WriteFileBytes(in, c.bytes);
        const auto r = Run("-c", in, out);
        if (r.exitCode != 0) {
            ExpectCleanFailure(r, out, c.name);
            ++refused;
            continue;
        }
        ++accepted;
        // Accepted: the tool kept the header and took its blocks from the file's own bytes after
        // the 54 header bytes, and its output is stable under another round.
        const std::string back = dir_ / "out/back.bmp";
        const auto d = Run("-d", out, back);
        ASSERT_EQ(d.exitCode, 0) << c.name << ": " << d.err;
        const Bytes restored = testing::ReadFileBytes(back);
        ASSERT_GE(restored.size(), 54u) << c.name;
        EXPECT_EQ(Get32(restored, 2), restored.size()) << c.name;
        ASSERT_LE(restored.size(), c.bytes.size()) << c.name;
        EXPECT_EQ(testing::Slice(restored, 14, restored.size()),
                  testing::Slice(c.bytes, 14, restored.size()))
            << c.name;
        const std::string again = dir_ / "out/again.cbmp";
        ASSERT_EQ(Run("-c", back, again).exitCode, 0) << c.name;
        EXPECT_EQ(testing::ReadFileBytes(again), testing::ReadFileBytes(out)) << c.name;
        ClearOutputs();
    }
    std::printf("%d hostile BMP files refused, %d accepted and restored\n", refused, accepted);
    EXPECT_GT(refused, 50);
}

TEST_F(HostileFiles, CbmpInputsFailCleanlyOrRestoreTheirPayload) {
    const Bytes bmp = GoodBmp();
    const std::string bmpPath = dir_ / "good.bmp";
    const std::string goodPath = dir_ / "good.cbmp";
    testing::WriteFileBytes(bmpPath, bmp);
    ASSERT_EQ(Run("-c", bmpPath, goodPath).exitCode, 0);
    const Bytes good = testing::ReadFileBytes(goodPath);
    const Bytes payload = testing::Slice(bmp, 54, bmp.size());
    ASSERT_EQ(Get32(good, 52), payload.size());

    int accepted = 0;
    int refused = 0;
    for (const Case& c : HostileCbmps(good)) {
        const std::string in = dir_ / ("in-" + c.name + ".cbmp");
        const std::string out = dir_ / "out/x.bmp";
        testing::WriteFileBytes(in, c.bytes);
        const auto r = Run("-d", in, out);
        if (r.exitCode != 0) {
            ExpectCleanFailure(r, out, c.name);
            ++refused;
            continue;
        }
        ++accepted;
        // Accepted: the BMP holds the declared number of payload bytes, which are the true
        // payload's first bytes, with the header rebuilt from the CBMP header.
        const Bytes restored = testing::ReadFileBytes(out);
        const std::uint32_t originalSize = Get32(c.bytes, 52);
        const std::uint32_t paletteSize = Get32(c.bytes, 56);
        ASSERT_EQ(restored.size(), 54u + originalSize) << c.name;
        EXPECT_EQ(Get32(restored, 2), restored.size()) << c.name;
        EXPECT_EQ(Get32(restored, 10), 54u + paletteSize) << c.name;
        EXPECT_EQ(testing::Slice(restored, 14, 54), testing::Slice(c.bytes, 8, 48)) << c.name;
        const Bytes decoded = testing::Slice(restored, 54, restored.size());
        if (c.name == "match-past-size") {
            EXPECT_EQ(decoded, (Bytes{'a', 'b', 'a', 'b', 'a', 'b'}));
        } else {
            ASSERT_LE(decoded.size(), payload.size()) << c.name;
            EXPECT_EQ(decoded, Cut(payload, decoded.size())) << c.name;
        }
        ClearOutputs();
    }
    std::printf("%d hostile CBMP files refused, %d accepted and restored\n", refused, accepted);
    EXPECT_GT(refused, 100);
    EXPECT_GE(accepted, 4);  // smaller sizes, palette splits, trailing bytes, cut matches
}

// Real work within a 256 MiB address space: a legitimate 200 MiB bitmap is compressed and
// restored, its input mapped rather than copied and the stream and the bitmap written in chunks
// (memory that grew with the image would fail here); a 0.5 MiB CBMP that expands to 43 MiB, the
// most such a file can hold, restores within it too.
TEST_F(HostileFiles, AddressLimitHoldsAndLeavesRoomForRealWork) {
    if (const char* why = testing::AddressLimitUnavailable()) {
        GTEST_SKIP() << why;
    }
    testing::BmpFields fields;
    fields.width = 1 << 14;
    fields.height = 4096;
    const std::uint32_t pixelSize = 200u << 20;
    fields.bfSize = 54 + pixelSize;
    const std::string big = dir_ / "big.bmp";
    testing::WriteFileBytes(big, testing::BuildBmp(fields));
    fs::resize_file(big, 54 + pixelSize);  // sparse: the pixels read as zeros
    const std::string out = dir_ / "out/big.cbmp";
    const auto r = Run("-c", big, out);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string restoredBig = dir_ / "out/big.bmp";
    const auto rd = Run("-d", out, restoredBig);
    ASSERT_EQ(rd.exitCode, 0) << rd.err;
    EXPECT_EQ(fs::file_size(restoredBig), std::uintmax_t{54} + pixelSize);
    fs::remove(big);
    fs::remove(restoredBig);
    fs::remove(out);

    testing::PlainStream stream(0);
    const Bytes pattern = {'c', 'b', 'm'};
    for (const std::uint8_t b : pattern) {
        stream.Literal(b);
    }
    std::uint32_t produced = 3;
    while (stream.bytes().size() < (512u << 10)) {
        stream.Match(3, 258);
        produced += 258;
    }
    stream.End();
    Bytes file = testing::CbmpFile(stream.bytes(), produced, 0);
    Put32(file, 60, produced);  // the stream's own length field
    const std::string small = dir_ / "expanding.cbmp";
    testing::WriteFileBytes(small, file);
    const std::string back = dir_ / "out/expanding.bmp";
    const auto d = Run("-d", small, back);
    ASSERT_EQ(d.exitCode, 0) << d.err;
    const Bytes restored = testing::ReadFileBytes(back);
    ASSERT_EQ(restored.size(), 54u + produced);
    EXPECT_GT(produced, 40u << 20);
    for (std::size_t i = 54; i < restored.size(); i += 4099) {
        ASSERT_EQ(restored[i], pattern[(i - 54) % 3]) << i;
    }
}

}  // namespace
}  // namespace cbmp
