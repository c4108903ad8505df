// Writes a 24-bit BMP test image: make_test_image <gradient|noise|flat|photo> <width> <height>
// <output.bmp> [seed]. The pixels come from the generators the tests use.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/data_generator.h"

namespace {

void PutLE(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

}  // namespace

int main(int argc, char** argv) {
    using cbmp::testing::ImageKind;
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: %s <gradient|noise|flat|photo> <width> <height> <out.bmp> [seed]\n",
                     argv[0]);
        return 1;
    }
    const std::string name = argv[1];
    ImageKind kind = ImageKind::kPhoto;
    if (name == "gradient") {
        kind = ImageKind::kGradient;
    } else if (name == "noise") {
        kind = ImageKind::kNoise;
    } else if (name == "flat") {
        kind = ImageKind::kFlat;
    } else if (name != "photo") {
        std::fprintf(stderr, "unknown kind %s\n", argv[1]);
        return 1;
    }
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto height = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const auto seed =
        argc > 5 ? static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10)) : 1u;
    const cbmp::testing::Bytes pixels = cbmp::testing::ImagePixels(kind, width, height, seed);

    std::string header;
    const auto pixelBytes = static_cast<std::uint32_t>(pixels.size());
    PutLE(header, 0x4D42, 2);
    PutLE(header, 54 + pixelBytes, 4);
    PutLE(header, 0, 4);
    PutLE(header, 54, 4);
    PutLE(header, 40, 4);
    PutLE(header, width, 4);
    PutLE(header, height, 4);
    PutLE(header, 1, 2);
    PutLE(header, 24, 2);
    PutLE(header, 0, 4);
    PutLE(header, pixelBytes, 4);
    PutLE(header, 2835, 4);
    PutLE(header, 2835, 4);
    PutLE(header, 0, 4);
    PutLE(header, 0, 4);

    std::FILE* out = std::fopen(argv[4], "wb");
    if (out == nullptr) {
        std::perror(argv[4]);
        return 1;
    }
    const bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
                    std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    if (std::fclose(out) != 0 || !ok) {
        std::perror(argv[4]);
        return 1;
    }
    return 0;
}
