// Files and buffers for the viewer add-ons' tests: reading and writing whole files, the core
// library's compression and decompression in memory, the test images as BMP and CBMP files, and a
// stack filled with a known byte.
#ifndef CBMP_ADDONS_TESTS_ADDON_TEST_FILES_H
#define CBMP_ADDONS_TESTS_ADDON_TEST_FILES_H

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/cbmpcore.h"

namespace cbmp_addon_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// cbmpcore_compress or cbmpcore_decompress on `input`; empty when it fails.
inline Bytes core_call(decltype(&cbmpcore_compress) operation, const Bytes& input) {
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    if (operation(input.data(), input.size(), &out, &size, nullptr) != CBMPCORE_OK) {
        return {};
    }
    Bytes result(out, out + size);
    cbmpcore_free(out);
    return result;
}

inline Bytes compress(const Bytes& bmp) {
    return core_call(cbmpcore_compress, bmp);
}

inline Bytes decompress(const Bytes& cbmp) {
    return core_call(cbmpcore_decompress, cbmp);
}

// Each test image of `folder` as its BMP file and as the CBMP file made from it.
struct TestImage {
    std::string name;
    Bytes bmp;
    Bytes cbmp;
};

inline std::vector<TestImage> test_images(const std::filesystem::path& folder) {
    std::vector<TestImage> images;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        Bytes bmp = read_file(entry.path());
        images.push_back({entry.path().filename().string(), bmp, compress(bmp)});
    }
    return images;
}

// Fills the stack below the caller with `fill`, where the next call's frames will lie.
[[gnu::noinline]] inline void fill_stack(unsigned char fill) {
    volatile unsigned char area[256 * 1024];
    for (auto& byte : area) {
        byte = fill;
    }
}

}  // namespace cbmp_addon_test

#endif
