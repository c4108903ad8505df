// Eight threads compressing and restoring different files through the shared library at once
// must give the same files as the same calls made one after another.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "library/cbmp.h"

namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 8;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void PutLe(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A 24-bit bitmap, different for every seed: stripes that repeat at a seed-dependent period
// with pseudo-random noise, so that the encoder produces both matches and literals.
void WriteBitmap(const fs::path& path, std::uint32_t seed) {
    const std::uint32_t width = 120 + 8 * seed;
    const std::uint32_t height = 90;
    const std::uint32_t rowSize = (width * 3 + 3) / 4 * 4;
    const std::uint32_t pixelSize = rowSize * height;
    std::vector<std::uint8_t> bytes(54 + pixelSize);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLe(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
    PutLe(bytes, 10, 54, 4);
    PutLe(bytes, 14, 40, 4);
    PutLe(bytes, 18, width, 4);
    PutLe(bytes, 22, height, 4);
    PutLe(bytes, 26, 1, 2);
    PutLe(bytes, 28, 24, 2);
    PutLe(bytes, 34, pixelSize, 4);
    std::uint32_t state = seed + 1;
    for (std::uint32_t i = 0; i < pixelSize; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::uint32_t noise = (state >> 24) < 40 ? state >> 28 : 0;
        bytes[54 + i] = static_cast<std::uint8_t>((i % (7 + seed)) * 31 + noise);
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::u16string Wide(const fs::path& path) {
    const std::string narrow = path.string();  // ASCII only
    return {narrow.begin(), narrow.end()};
}

struct Files {
    fs::path bitmap;
    fs::path compressed;
    fs::path restored;
};

void RoundTrip(const Files& files, int& compactResult, int& decompactResult) {
    compactResult = BMPCompact(Wide(files.bitmap).c_str(), Wide(files.compressed).c_str());
    decompactResult = BMPDecompact(Wide(files.compressed).c_str(), Wide(files.restored).c_str());
}

TEST(LibraryThreads, ConcurrentCallsGiveTheSameFilesAsSequentialCalls) {
    const fs::path dir =
        fs::temp_directory_path() / ("cbmp-threads-" + std::to_string(std::random_device{}()));
    fs::remove_all(dir);
    fs::create_directories(dir);

    std::vector<Files> sequential;
    std::vector<Files> concurrent;
    for (int i = 0; i < kThreads; ++i) {
        const std::string stem = "image" + std::to_string(i);
        const fs::path bitmap = dir / (stem + ".bmp");
        WriteBitmap(bitmap, static_cast<std::uint32_t>(i));
        sequential.push_back({bitmap, dir / (stem + ".seq.cbmp"), dir / (stem + ".seq.bmp")});
        concurrent.push_back({bitmap, dir / (stem + ".par.cbmp"), dir / (stem + ".par.bmp")});
    }

    for (const Files& files : sequential) {
        int compactResult = 0;
        int decompactResult = 0;
        RoundTrip(files, compactResult, decompactResult);
        ASSERT_EQ(compactResult, 999);
        ASSERT_EQ(decompactResult, 999);
    }

    std::vector<int> compactResults(kThreads);
    std::vector<int> decompactResults(kThreads);
    {
        std::latch start(kThreads);
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                const auto at = static_cast<std::size_t>(i);
                start.arrive_and_wait();
                RoundTrip(concurrent[at], compactResults[at], decompactResults[at]);
            });
        }
    }

    for (std::size_t i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(concurrent[i].bitmap.string());
        EXPECT_EQ(compactResults[i], 999);
        EXPECT_EQ(decompactResults[i], 999);
        const auto original = ReadFile(concurrent[i].bitmap);
        const auto compressed = ReadFile(concurrent[i].compressed);
        ASSERT_GT(compressed.size(), 60u);
        EXPECT_EQ(compressed, ReadFile(sequential[i].compressed));
        EXPECT_EQ(ReadFile(concurrent[i].restored), original);
        EXPECT_EQ(ReadFile(sequential[i].restored), original);
    }
    fs::remove_all(dir);
}

}  // namespace
