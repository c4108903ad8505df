// The core library through its C interface only, as an application links it.
#include "cbmpcore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using cbmp::testing::BmpFields;
using cbmp::testing::BuildBmp;
using cbmp::testing::Bytes;
using cbmp::testing::TempDir;

struct Freed {
    void operator()(std::uint8_t* p) const { cbmpcore_free(p); }
};

// One in-memory call: its result and, on success, the bytes it returned.
struct Call {
    cbmpcore_result result = CBMPCORE_OK;
    Bytes bytes;
};

Call InMemory(bool compress, const Bytes& in, const cbmpcore_options* options = nullptr) {
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    Call call;
    call.result = compress ? cbmpcore_compress(in.data(), in.size(), &out, &size, options)
                           : cbmpcore_decompress(in.data(), in.size(), &out, &size, options);
    const std::unique_ptr<std::uint8_t, Freed> owned(out);
    if (call.result == CBMPCORE_OK) {
        call.bytes.assign(out, out + size);
    } else {
        EXPECT_EQ(out, nullptr);  // left unchanged
        EXPECT_EQ(size, 0u);
    }
    return call;
}

Call Compress(const Bytes& bmp) {
    return InMemory(true, bmp);
}
Call Decompress(const Bytes& cbmp) {
    return InMemory(false, cbmp);
}

// BMP files of every kind the container must carry whole.
std::vector<Bytes> SampleBitmaps() {
    BmpFields full8;
    full8.bitCount = 8;
    full8.colourBlock = cbmp::testing::RandomBytes(1024, 1);
    full8.pixels = cbmp::testing::Runs(40000, 30, 2);
    BmpFields rgb;
    rgb.width = 300;
    rgb.height = -200;
    rgb.pixels = cbmp::testing::ImageLike(300 * 3, 200, 3);
    return {BuildBmp(full8),
            BuildBmp(rgb),
            BuildBmp(cbmp::testing::V5HeaderBmp()),
            BuildBmp(cbmp::testing::BitFieldsBmp()),
            BuildBmp(cbmp::testing::PalettedTrueColourBmp()),
            BuildBmp(cbmp::testing::GapBeforePixelsBmp()),
            BuildBmp(BmpFields{})};
}

TEST(CoreApi, VersionAndResultTexts) {
    EXPECT_STREQ(cbmpcore_version(), "1.0.0");
    EXPECT_STREQ(cbmpcore_result_text(CBMPCORE_ERROR_UNSUPPORTED_VERSION),
                 "Unsupported CBMP version");
    EXPECT_STREQ(cbmpcore_result_text(static_cast<cbmpcore_result>(31)), "Unknown error");
}

// Memory to memory and file to file give the same bytes, and every layout comes back whole.
TEST(CoreApi, RoundTripsInMemoryAndBetweenFiles) {
    TempDir dir;
    for (const Bytes& bmp : SampleBitmaps()) {
        const Call packed = Compress(bmp);
        ASSERT_EQ(packed.result, CBMPCORE_OK);
        const Call unpacked = Decompress(packed.bytes);
        ASSERT_EQ(unpacked.result, CBMPCORE_OK);
        EXPECT_EQ(unpacked.bytes, bmp);

        const std::string in = dir / "in.bmp";
        const std::string mid = dir / "mid.cbmp";
        const std::string out = dir / "out.bmp";
        cbmp::testing::WriteFileBytes(in, bmp);
        ASSERT_EQ(cbmpcore_compress_file(in.c_str(), mid.c_str(), nullptr), CBMPCORE_OK);
        EXPECT_EQ(cbmp::testing::ReadFileBytes(mid), packed.bytes);
        ASSERT_EQ(cbmpcore_decompress_file(mid.c_str(), out.c_str(), nullptr), CBMPCORE_OK);
        EXPECT_EQ(cbmp::testing::ReadFileBytes(out), bmp);
    }
}

TEST(CoreApi, ReadsInfoWithoutDecoding) {
    BmpFields fields;
    fields.width = 2;
    fields.height = -2;
    fields.bitCount = 8;
    fields.clrUsed = 2;
    fields.sizeImage = 8;
    fields.xPelsPerMeter = -5;
    fields.colourBlock = {1, 2, 3, 0, 4, 5, 6, 0};
    fields.pixels = {0, 1, 0, 0, 1, 0, 0, 0};
    const Call packed = Compress(BuildBmp(fields));
    ASSERT_EQ(packed.result, CBMPCORE_OK);

    cbmpcore_info info{};
    // Only the header is read: a stream cut to nothing does not matter.
    const Bytes headerOnly(packed.bytes.begin(), packed.bytes.begin() + 60);
    ASSERT_EQ(cbmpcore_read_info(headerOnly.data(), headerOnly.size(), &info), CBMPCORE_OK);
    EXPECT_EQ(info.height, -2);
    EXPECT_EQ(info.bit_count, 8);
    EXPECT_EQ(info.image_size, 8u);
    EXPECT_EQ(info.x_pixels_per_meter, -5);
    EXPECT_EQ(info.colors_used, 2u);
    EXPECT_EQ(info.compressed_size, packed.bytes.size() - 60);
    EXPECT_EQ(info.original_size, 16u);
    EXPECT_EQ(info.palette_size, 8u);
    EXPECT_EQ(info.bmp_size, 70u);

    const cbmpcore_info untouched = info;
    EXPECT_EQ(cbmpcore_read_info(headerOnly.data(), 59, &info), CBMPCORE_ERROR_NOT_CBMP);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    EXPECT_EQ(cbmpcore_read_info(nullptr, 60, &info), CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(cbmpcore_read_info(headerOnly.data(), 60, nullptr), CBMPCORE_ERROR_INVALID_ARGUMENT);
}

// A CBMP header (60 bytes) with the given sizes, followed by `stream`.
Bytes CbmpWith(std::uint32_t version, std::uint32_t compressed, std::uint32_t original,
               std::uint32_t palette, const Bytes& stream) {
    Bytes bytes = {'C', 'B', 'M', 'P'};
    cbmp::testing::PutLE(bytes, version, 4);
    cbmp::testing::PutLE(bytes, 40, 4);
    bytes.resize(48, 0);
    cbmp::testing::PutLE(bytes, compressed, 4);
    cbmp::testing::PutLE(bytes, original, 4);
    cbmp::testing::PutLE(bytes, palette, 4);
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    return bytes;
}

// Each cause of failure that bytes in memory can have, with its own code; read_info agrees with
// decompression on the header's causes.
TEST(CoreApi, MapsEveryMalformedInputToItsResult) {
    const Bytes good = BuildBmp(cbmp::testing::PalettedTrueColourBmp());
    Bytes notBmp = good;
    notBmp[0] = 'X';
    BmpFields inverted;
    inverted.pixels = {1, 2, 3};
    inverted.bfOffBits = 200;
    inverted.bfSize = 100;
    const struct {
        Bytes bmp;
        cbmpcore_result result;
    } bmpCases[] = {
        {Bytes(good.begin(), good.begin() + 20), CBMPCORE_ERROR_NOT_BMP},
        {notBmp, CBMPCORE_ERROR_NOT_BMP},
        {Bytes(good.begin(), good.begin() + 60), CBMPCORE_ERROR_COLOR_TABLE_SHORT},
        {Bytes(good.begin(), good.end() - 1), CBMPCORE_ERROR_PIXEL_DATA_SHORT},
        {BuildBmp(inverted), CBMPCORE_ERROR_BMP_LAYOUT},
    };
    for (const auto& c : bmpCases) {
        EXPECT_EQ(Compress(c.bmp).result, c.result) << cbmpcore_result_text(c.result);
    }

    const Bytes empty = {0, 0, 0, 0, 0x80, 0, 0};  // length 0, end marker
    const struct {
        Bytes cbmp;
        cbmpcore_result result;
        bool headerCause;
    } cbmpCases[] = {
        {{'C', 'B', 'M'}, CBMPCORE_ERROR_NOT_CBMP, true},
        {CbmpWith(1, 7, 0, 0, empty), CBMPCORE_OK, true},
        {Bytes{'C', 'B', 'M', 'Q', 1, 0, 0, 0}, CBMPCORE_ERROR_NOT_CBMP, true},
        {CbmpWith(2, 7, 0, 0, empty), CBMPCORE_ERROR_UNSUPPORTED_VERSION, true},
        {CbmpWith(1, 7, 4, 8, {4, 0, 0, 0, 0x80, 0, 0}), CBMPCORE_ERROR_CBMP_LAYOUT, true},
        {CbmpWith(1, 7, 0xFFFFFFF0u, 0, empty), CBMPCORE_ERROR_TOO_LARGE, true},
        {CbmpWith(1, 8, 0, 0, empty), CBMPCORE_ERROR_COMPRESSED_DATA_SHORT, false},
        {CbmpWith(1, 3, 0, 0, {0, 0, 0}), CBMPCORE_ERROR_CORRUPT_STREAM, false},
        {CbmpWith(1, 7, 5, 0, {5, 0, 0, 0, 0x80, 0, 0}), CBMPCORE_ERROR_CORRUPT_STREAM, false},
    };
    for (const auto& c : cbmpCases) {
        EXPECT_EQ(Decompress(c.cbmp).result, c.result) << cbmpcore_result_text(c.result);
        cbmpcore_info info{};
        EXPECT_EQ(cbmpcore_read_info(c.cbmp.data(), c.cbmp.size(), &info),
                  c.headerCause ? c.result : CBMPCORE_OK)
            << cbmpcore_result_text(c.result);
    }

    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(cbmpcore_compress(nullptr, 10, &out, &size, nullptr),
              CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(cbmpcore_compress(good.data(), good.size(), nullptr, &size, nullptr),
              CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(cbmpcore_decompress(good.data(), good.size(), &out, nullptr, nullptr),
              CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(cbmpcore_compress_file(nullptr, "x", nullptr), CBMPCORE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(cbmpcore_decompress_file("x", nullptr, nullptr), CBMPCORE_ERROR_INVALID_ARGUMENT);
    cbmpcore_free(nullptr);
}

// The causes that only files have: opening, reading, creating, writing; a failure keeps what the
// output held before.
TEST(CoreApi, MapsFileFailuresAndKeepsTheOldOutput) {
    TempDir dir;
    const std::string bmp = dir / "in.bmp";
    const std::string out = dir / "out.cbmp";
    cbmp::testing::WriteFileBytes(bmp, BuildBmp(cbmp::testing::V5HeaderBmp()));
    cbmp::testing::WriteFileBytes(out, {'o', 'l', 'd'});

    EXPECT_EQ(cbmpcore_compress_file((dir / "missing.bmp").c_str(), out.c_str(), nullptr),
              CBMPCORE_ERROR_CANNOT_OPEN);
    EXPECT_EQ(cbmpcore_decompress_file(dir.Path().c_str(), out.c_str(), nullptr),
              CBMPCORE_ERROR_CANNOT_OPEN);  // a directory is no input
    // The kernel refuses to read this file's first page: an I/O error, not a short file.
    EXPECT_EQ(cbmpcore_compress_file("/proc/self/mem", out.c_str(), nullptr), CBMPCORE_ERROR_READ);
    EXPECT_EQ(cbmpcore_compress_file(bmp.c_str(), (dir / "no/such/dir.cbmp").c_str(), nullptr),
              CBMPCORE_ERROR_CANNOT_CREATE);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(cbmpcore_compress_file(bmp.c_str(), "/dev/full", nullptr), CBMPCORE_ERROR_WRITE);
    }
    EXPECT_EQ(cbmp::testing::ReadFileBytes(out), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(dir.Entries().size(), 2u);  // no temporary file left behind

    ASSERT_EQ(cbmpcore_compress_file(bmp.c_str(), out.c_str(), nullptr), CBMPCORE_OK);
    const Bytes packed = cbmp::testing::ReadFileBytes(out);
    ASSERT_GT(packed.size(), 60u);

    // The input as output, by its own name or through a link, is refused and left whole.
    const Bytes original = cbmp::testing::ReadFileBytes(bmp);
    const std::string link = dir / "link.cbmp";
    ASSERT_EQ(symlink(out.c_str(), link.c_str()), 0);
    EXPECT_EQ(cbmpcore_compress_file(bmp.c_str(), bmp.c_str(), nullptr),
              CBMPCORE_ERROR_OUTPUT_IS_INPUT);
    EXPECT_EQ(cbmpcore_decompress_file(link.c_str(), out.c_str(), nullptr),
              CBMPCORE_ERROR_OUTPUT_IS_INPUT);
    EXPECT_EQ(cbmp::testing::ReadFileBytes(bmp), original);
    EXPECT_EQ(cbmp::testing::ReadFileBytes(out), packed);

    // A payload over 32 bits is only reachable without a known length: through a FIFO.
    const std::string fifo = dir / "fifo.bmp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    BmpFields huge;
    huge.bitCount = 8;
    huge.clrUsed = 0x3FFFFFFF;  // a colour table of 4 GiB - 4, then pixels
    huge.bfOffBits = 0;
    huge.bfSize = 0xFFFFFFFF;
    std::thread writer([&] { cbmp::testing::WriteFileBytes(fifo, BuildBmp(huge)); });
    EXPECT_EQ(cbmpcore_compress_file(fifo.c_str(), out.c_str(), nullptr), CBMPCORE_ERROR_TOO_LARGE);
    writer.join();
    EXPECT_EQ(cbmp::testing::ReadFileBytes(out), packed);
}

#if !defined(CBMP_SANITIZED)
// Runs `call` in a child process whose address space has only `headroom` bytes beyond what it
// already uses, and returns the result code it got (or -1 when the limit could not be set).
template <typename Call>
int UnderAddressLimit(std::size_t headroom, Call call) {
    const pid_t child = fork();
    if (child == 0) {
        if (!cbmp::testing::LimitAddressSpace(headroom)) {
            _exit(255);
        }
        _exit(static_cast<int>(call()));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A CBMP file whose small stream (two literals, then matches of 258 bytes at distance 2) decodes
// to `matches` * 258 + 2 bytes.
Bytes RunOfMatches(std::uint32_t matches) {
    Bytes stream;
    std::uint64_t bits = 0;
    auto put = [&](std::uint32_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i, ++bits) {
            if (bits % 8 == 0) {
                stream.push_back(0);
            }
            stream.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (bits % 8));
        }
    };
    const std::uint32_t size = matches * 258 + 2;
    put(size, 32);
    put(0, 1), put('a', 8), put(0, 1), put('b', 8);
    for (std::uint32_t i = 0; i < matches; ++i) {
        put(1, 1), put(1, 15), put(255, 8);  // distance 2, length 258
    }
    put(1, 1), put(0, 16);
    return CbmpWith(1, static_cast<std::uint32_t>(stream.size()), size, 0, stream);
}

// Exhausted memory is a result, not a crash, on each side.
TEST(CoreApi, ReportsExhaustedMemory) {
#if defined(CBMP_UNDER_EMULATOR)
    GTEST_SKIP() << "the emulator does not apply the guest's address-space limit";
#endif
    const Bytes large = RunOfMatches(1u << 18);  // 64.5 MiB from 0.75 MiB
    ASSERT_EQ(UnderAddressLimit(2048u << 20, [&] { return Decompress(large).result; }),
              CBMPCORE_OK);
    EXPECT_EQ(UnderAddressLimit(32u << 20, [&] { return Decompress(large).result; }),
              CBMPCORE_ERROR_NO_MEMORY);
    // Noise, whose stream is larger than the bitmap. Built in place, so that no freed buffer of
    // its making is left in the heap for the child to use under its limit.
    constexpr std::size_t kNoise = 48u << 20;
    Bytes bmp;
    bmp.reserve(54 + kNoise);
    BmpFields noise;
    noise.bfSize = static_cast<std::uint32_t>(54 + kNoise);
    const Bytes headers = BuildBmp(noise);
    bmp.assign(headers.begin(), headers.end());  // keeps the reserved capacity
    bmp.resize(54 + kNoise);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t at = 54; at + 8 <= bmp.size(); at += 8) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        std::memcpy(&bmp[at], &state, 8);
    }
    EXPECT_EQ(UnderAddressLimit(8u << 20, [&] { return Compress(bmp).result; }),
              CBMPCORE_ERROR_NO_MEMORY);
}
#endif

struct ProgressLog {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
};

void Record(void* context, std::uint32_t done, std::uint32_t total) {
    static_cast<ProgressLog*>(context)->calls.emplace_back(done, total);
}

TEST(CoreApi, ReportsProgressFromZeroToTotalOnlyOnSuccess) {
    BmpFields large;
    large.width = 512;
    large.height = 200;
    large.pixels = cbmp::testing::RandomBytes(512 * 3 * 200, 5);  // literals: a step every 64 KiB
    const Bytes bmp = BuildBmp(large);
    const std::uint32_t total = 512 * 3 * 200;

    for (const bool compress : {true, false}) {
        ProgressLog log;
        cbmpcore_options options{};
        options.progress = &Record;
        options.progress_context = &log;
        const Bytes input = compress ? bmp : Compress(bmp).bytes;
        ASSERT_EQ(InMemory(compress, input, &options).result, CBMPCORE_OK);
        ASSERT_GE(log.calls.size(), 3u);
        EXPECT_EQ(log.calls.front(), std::make_pair(0u, total));
        EXPECT_EQ(log.calls.back(), std::make_pair(total, total));
        for (std::size_t i = 1; i < log.calls.size(); ++i) {
            EXPECT_GT(log.calls[i].first, log.calls[i - 1].first);
            EXPECT_EQ(log.calls[i].second, total);
        }
    }

    // A stream that fails to decode never reports completion.
    ProgressLog log;
    cbmpcore_options options{};
    options.progress = &Record;
    options.progress_context = &log;
    EXPECT_EQ(InMemory(false, CbmpWith(1, 7, 5, 0, {5, 0, 0, 0, 0x80, 0, 0}), &options).result,
              CBMPCORE_ERROR_CORRUPT_STREAM);
    EXPECT_EQ(log.calls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 5}}));
}

// Sends fd 1 and fd 2 into one file while it lives; Restore() gives back what they received.
class CapturedDescriptors {
  public:
    explicit CapturedDescriptors(const std::string& path) : path_(path) {
        std::fflush(nullptr);
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 1);
        dup2(file, 2);
        close(file);
    }
    ~CapturedDescriptors() { Restore(); }
    std::string Restore() {
        if (savedOut_ >= 0) {
            std::fflush(nullptr);
            dup2(savedOut_, 1), dup2(savedErr_, 2);
            close(savedOut_), close(savedErr_);
            savedOut_ = savedErr_ = -1;
        }
        const Bytes bytes = cbmp::testing::ReadFileBytes(path_);
        return std::string(bytes.begin(), bytes.end());
    }

  private:
    std::string path_;
    int savedOut_ = dup(1);
    int savedErr_ = dup(2);
};

TEST(CoreApi, PrintsNothingOnAnyPath) {
    TempDir dir;
    const Bytes bmp = BuildBmp(cbmp::testing::V5HeaderBmp());
    const std::string in = dir / "in.bmp";
    cbmp::testing::WriteFileBytes(in, bmp);
    CapturedDescriptors captured(dir / "console");
    const Call packed = Compress(bmp);
    Decompress(packed.bytes);
    Decompress(Bytes{'C', 'B', 'M', 'P', 9, 0, 0, 0});
    Compress(Bytes{'B', 'M'});
    Decompress(CbmpWith(1, 3, 0, 0, {0, 0, 0}));
    cbmpcore_compress_file(in.c_str(), (dir / "a.cbmp").c_str(), nullptr);
    cbmpcore_decompress_file((dir / "a.cbmp").c_str(), (dir / "a.bmp").c_str(), nullptr);
    cbmpcore_compress_file((dir / "missing").c_str(), (dir / "b.cbmp").c_str(), nullptr);
    cbmpcore_decompress_file(in.c_str(), (dir / "c.bmp").c_str(), nullptr);
    cbmpcore_compress_file(in.c_str(), (dir / "no/dir.cbmp").c_str(), nullptr);
    EXPECT_EQ(captured.Restore(), "");
    EXPECT_EQ(packed.result, CBMPCORE_OK);
    EXPECT_EQ(cbmp::testing::ReadFileBytes(dir / "a.bmp"), bmp);
}

// Many threads at once, each with its own images, progress and failures.
TEST(CoreApi, ManyThreadsAtOnce) {
    const std::vector<Bytes> bitmaps = SampleBitmaps();
    std::vector<Bytes> expected;
    for (const Bytes& bmp : bitmaps) {
        expected.push_back(Compress(bmp).bytes);
    }
    TempDir dir;
    constexpr int kThreads = 16;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                const std::size_t i = static_cast<std::size_t>(t + round) % bitmaps.size();
                ProgressLog log;
                cbmpcore_options options{};
                options.progress = &Record;
                options.progress_context = &log;
                const Call packed = InMemory(true, bitmaps[i], &options);
                const Call unpacked = InMemory(false, packed.bytes, &options);
                // Names through snprintf: GCC 12 at -O3 warns falsely (-Wrestrict) on
                // "t" + std::to_string(t).
                char stem[16];
                std::snprintf(stem, sizeof stem, "t%d", t);
                const std::string file = dir / (std::string(stem) + ".cbmp");
                const std::string bmp = dir / (std::string(stem) + ".bmp");
                cbmp::testing::WriteFileBytes(bmp, bitmaps[i]);
                const cbmpcore_result fileResult =
                    cbmpcore_compress_file(bmp.c_str(), file.c_str(), nullptr);
                const bool ok = packed.bytes == expected[i] && unpacked.bytes == bitmaps[i] &&
                                fileResult == CBMPCORE_OK &&
                                cbmp::testing::ReadFileBytes(file) == expected[i] &&
                                Decompress(Bytes{'C', 'B', 'M', 'P', 2, 0, 0, 0}).result ==
                                    CBMPCORE_ERROR_UNSUPPORTED_VERSION &&
                                log.calls.back().first == log.calls.back().second;
                if (!ok) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
