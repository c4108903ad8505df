// Memory that does not grow with the image: a child process compresses and decompresses files of
// two sizes, and the peak of its resident memory, less the input file (mapped, or read whole),
// stays under a fixed bound and the same for both. And memory under an address-space limit
// decides success monotonically: a call that succeeds within a limit succeeds within every larger
// one. POSIX only: children, /proc and resource limits.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "codec/lz_compress.h"
#include "core/operations.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace cbmp {
namespace {

using testing::Bytes;
using testing::RunInChild;
using testing::TempDir;

constexpr std::size_t kMiB = 1024 * 1024;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or 0.
long long StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stoll(line.substr(prefix.size())) * 1024;  // given in kB
        }
    }
    return 0;
}

// Writes a 24-bit BMP of `pixelBytes` pixel bytes, a piece at a time so that this process stays
// small: stretches of noise, which the encoder barely shrinks, between runs and repeats, so the
// stream is about half the image.
void WriteBmp(const std::string& path, std::uint32_t pixelBytes) {
    testing::BmpFields fields;
    fields.width = static_cast<std::int32_t>(pixelBytes / 3);
    fields.height = 1;
    fields.bfSize = 54 + pixelBytes;
    const Bytes headers = testing::BuildBmp(fields);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(headers.data(), 1, 54, file);
    std::uint32_t seed = 99;
    Bytes piece(64 * 1024);
    for (std::uint32_t done = 0; done < pixelBytes;
         done += static_cast<std::uint32_t>(piece.size())) {
        for (std::size_t i = 0; i < piece.size(); ++i) {
            seed = seed * 1103515245u + 12345u;
            piece[i] = (i / 4096) % 2 == 0 ? static_cast<std::uint8_t>(seed >> 16)
                                           : static_cast<std::uint8_t>(i / 64);
        }
        const std::size_t n = std::min<std::size_t>(piece.size(), pixelBytes - done);
        std::fwrite(piece.data(), 1, n, file);
    }
    std::fclose(file);
}

std::size_t FileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return static_cast<std::size_t>(file.tellg());
}

// Runs one operation between files in a child, one encoder thread, and returns how far its
// resident memory rose above where it started (-1 when the operation failed or the peak cannot be
// reset).
long long PeakGrowth(bool compress, const std::string& in, const std::string& out,
                     const std::string& report) {
    const testing::ChildResult child = RunInChild([&] {
        // "5" resets the peak resident size to the current one (Linux 4.0 on).
        const int clear = open("/proc/self/clear_refs", O_WRONLY);
        if (clear < 0 || write(clear, "5", 1) != 1) {
            return 3;
        }
        close(clear);
        const long long start = StatusBytes("VmRSS");
        core::Settings settings;
        settings.threads = 1;
        core::Output output = core::Output::File(out.c_str());
        const core::Input input = core::Input::File(in.c_str());
        const core::Outcome outcome = compress ? core::Compress(input, output, settings)
                                               : core::Decompress(input, output, settings);
        if (!outcome.ok()) {
            return 2;
        }
        std::ofstream(report) << StatusBytes("VmHWM") - start;
        return 0;
    });
    if (child.exitCode != 0) {
        return -1;
    }
    long long growth = -1;
    std::ifstream(report) >> growth;
    return growth;
}

// True when the encoder hands its stream over in several pieces as it goes, rather than all of it
// at the end: only then can compression's memory stay flat.
bool EncoderStreams() {
    const Bytes noise = testing::RandomBytes(4 * kMiB, 17);
    std::size_t pieces = 0;
    const LzSink sink{[](void* context, const std::uint8_t*, std::size_t) {
                          ++*static_cast<std::size_t*>(context);
                          return true;
                      },
                      &pieces};
    std::uint32_t streamSize = 0;
    LzCompressOptions options;
    options.threads = 1;
    return LzCompressTo(noise.data(), static_cast<std::uint32_t>(noise.size()), options, sink,
                        streamSize) &&
           pieces > 1;
}

// Memory beyond the input file that compression or decompression takes at two image sizes, four
// times apart (6 and 24 MiB of pixels), measured in children; the decompression is checked
// whole against its BMP file.
struct Overheads {
    long long compress[2] = {-1, -1};
    long long decompress[2] = {-1, -1};
};

Overheads MeasureTwoSizes() {
    TempDir dir;
    Overheads o;
    const std::uint32_t pixels[2] = {6 * kMiB, 24 * kMiB};
    for (int i = 0; i < 2; ++i) {
        const std::string bmp = dir / "in.bmp";
        const std::string cbmp = dir / "in.cbmp";
        const std::string back = dir / "back.bmp";
        WriteBmp(bmp, pixels[i]);
        const long long c = PeakGrowth(true, bmp, cbmp, dir / "report");
        const long long d = c < 0 ? -1 : PeakGrowth(false, cbmp, back, dir / "report");
        if (d < 0 || FileSize(back) != FileSize(bmp)) {
            ADD_FAILURE() << "the round trip failed at " << pixels[i] << " pixel bytes";
            return o;
        }
        o.compress[i] = c - static_cast<long long>(FileSize(bmp));
        o.decompress[i] = d - static_cast<long long>(FileSize(cbmp));
        std::printf(
            "%u MiB of pixels: compression input + %.1f MiB, decompression input + %.1f MiB\n",
            pixels[i] / static_cast<std::uint32_t>(kMiB), static_cast<double>(o.compress[i]) / kMiB,
            static_cast<double>(o.decompress[i]) / kMiB);
    }
    return o;
}

// At most 16 MiB beyond the input at either size, and within 2 MiB of each other although the
// image grew by 18 MiB.
void ExpectFlat(const long long (&overhead)[2]) {
    EXPECT_LE(overhead[0], static_cast<long long>(16 * kMiB));
    EXPECT_LE(overhead[1], static_cast<long long>(16 * kMiB));
    EXPECT_LE(overhead[1] - overhead[0], static_cast<long long>(2 * kMiB));
}

// Under an emulator (qemu-user) the process's memory and its limits are the emulator's own.
#if defined(CBMP_EMULATED)
#define CBMP_SKIP_UNDER_EMULATOR()                                                          \
    GTEST_SKIP() << "NOT CHECKED: under the cross-compiling emulator, resident memory and " \
                    "address-space limits are the emulator's, not the program's"
#else
#define CBMP_SKIP_UNDER_EMULATOR() static_cast<void>(0)
#endif

TEST(PeakMemory, DecompressionDoesNotGrowWithTheImage) {
    CBMP_SKIP_UNDER_EMULATOR();
    ExpectFlat(MeasureTwoSizes().decompress);
}

TEST(PeakMemory, CompressionDoesNotGrowWithTheImage) {
    CBMP_SKIP_UNDER_EMULATOR();
    if (!EncoderStreams()) {
        GTEST_SKIP() << "NOT CHECKED: this encoder hands its whole stream to the sink at the end, "
                        "so compression's memory grows with the stream";
    }
    ExpectFlat(MeasureTwoSizes().compress);
}

#ifndef CBMP_SANITIZED
// Runs one operation in memory, as the C interface does, in a child whose address space is
// limited to what it uses plus `headroom`: 0 for success, 1 for exhausted memory.
int RunLimited(bool compress, const Bytes& input, std::size_t headroom, unsigned threads) {
    const testing::ChildResult child = RunInChild([&] {
        if (!testing::LimitAddressSpace(headroom)) {
            return 3;
        }
        core::Settings settings;
        settings.threads = threads;
        core::Output output = core::Output::Memory();
        const core::Input in = core::Input::Memory(input.data(), input.size());
        const core::Outcome outcome = compress ? core::Compress(in, output, settings)
                                               : core::Decompress(in, output, settings);
        return outcome.ok() ? 0 : outcome.result == CBMPCORE_ERROR_NO_MEMORY ? 1 : 2;
    });
    return child.exitCode;
}

TEST(PeakMemory, SuccessIsMonotonicInTheAddressSpaceLimit) {
    CBMP_SKIP_UNDER_EMULATOR();
    testing::BmpFields fields;
    fields.width = 256;
    fields.height = 512;
    fields.pixels = testing::ImageLike(256, 512, 3);
    const Bytes bmp = testing::BuildBmp(fields);
    core::Output packed = core::Output::Memory();
    ASSERT_TRUE(core::Compress(core::Input::Memory(bmp.data(), bmp.size()), packed, {}).ok());
    const Bytes cbmp(packed.buffer.get(), packed.buffer.get() + packed.size);

    for (const bool compress : {true, false}) {
        for (const unsigned threads : {1u, 3u}) {
            std::string outcomes;  // one letter per limit, the smallest first
            for (std::size_t headroom = 0; headroom <= 40 * kMiB; headroom += kMiB) {
                const int result = RunLimited(compress, compress ? bmp : cbmp, headroom, threads);
                ASSERT_TRUE(result == 0 || result == 1)
                    << "exit " << result << " at headroom " << headroom;
                outcomes += result == 0 ? 'S' : 'f';
            }
            // Failures first, then successes only.
            const std::size_t first = outcomes.find('S');
            EXPECT_NE(first, std::string::npos) << "never succeeded";
            EXPECT_EQ(outcomes.find('f', first), std::string::npos)
                << (compress ? "compression" : "decompression") << ", " << threads
                << " threads: " << outcomes;
        }
    }
}
#else
TEST(PeakMemory, SuccessIsMonotonicInTheAddressSpaceLimit) {
    GTEST_SKIP() << "a sanitizer's runtime reserves terabytes of address space: no limit can be "
                    "set under it";
}
#endif

}  // namespace
}  // namespace cbmp
#endif
