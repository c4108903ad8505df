// Seeded generators of test data, shared by the tests and the benchmarks: the same seed gives the
// same bytes on every host.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace cbmp::testing {

using Bytes = std::vector<std::uint8_t>;

// Uniform random bytes.
inline Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(rng() >> 24);
    }
    return out;
}

// Random bytes drawn from the first `alphabet` byte values: small alphabets give many matches.
inline Bytes RandomText(std::size_t size, std::uint32_t alphabet, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(rng() % alphabet);
    }
    return out;
}

// `size` bytes repeating `pattern`.
inline Bytes Periodic(std::size_t size, const Bytes& pattern) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = pattern[i % pattern.size()];
    }
    return out;
}

// Runs of one byte with random lengths (1 to maxRun) and values.
inline Bytes Runs(std::size_t size, std::uint32_t maxRun, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const auto value = static_cast<std::uint8_t>(rng() >> 24);
        std::size_t run = 1 + rng() % maxRun;
        while (run-- > 0 && out.size() < size) {
            out.push_back(value);
        }
    }
    return out;
}

// Pixel rows of a 24-bit image: smooth gradients with a little noise and flat patches, the way
// photographs and artwork look to a byte-oriented coder.
inline Bytes ImageLike(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::size_t stride = (std::size_t{width} * 3 + 3) & ~std::size_t{3};
    Bytes out(stride * height, 0);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const bool flat = ((x / 64) + (y / 64)) % 5 == 0;
            const std::uint32_t noise = flat ? 0 : rng() % 4;
            std::uint8_t* px = &out[y * stride + std::size_t{x} * 3];
            px[0] = static_cast<std::uint8_t>((x + noise) & 0xFF);
            px[1] = static_cast<std::uint8_t>((y + noise) & 0xFF);
            px[2] = static_cast<std::uint8_t>(((x + y) / 2 + noise) & 0xFF);
        }
    }
    return out;
}

// Kinds of 24-bit pixel rows (BMP order, rows padded to 4 bytes) for whole-image tests and
// benchmarks.
enum class ImageKind {
    kGradient,  // smooth ramps: long repeats of near-identical pixels
    kNoise,     // uniform noise: incompressible
    kFlat,      // large flat rectangles of few colours, like diagrams and artwork
    kPhoto,     // smooth shapes with fine grain, like a photograph
};

inline Bytes ImagePixels(ImageKind kind, std::uint32_t width, std::uint32_t height,
                         std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::size_t stride = (std::size_t{width} * 3 + 3) & ~std::size_t{3};
    Bytes out(stride * height, 0);
    const double phase = seed * 0.7;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* px = &out[y * stride + std::size_t{x} * 3];
            for (std::uint32_t c = 0; c < 3; ++c) {
                double v = 0;
                switch (kind) {
                    case ImageKind::kGradient:
                        v = (x * 255.0 / width) * (c == 0) + (y * 255.0 / height) * (c == 1) +
                            ((x + y) * 127.0 / (width + height)) * (c == 2);
                        break;
                    case ImageKind::kNoise:
                        v = static_cast<double>(rng() & 0xFF);
                        break;
                    case ImageKind::kFlat:
                        v = static_cast<double>(((x / 97 + y / 61 + c) * 67 + seed) % 5 * 60);
                        break;
                    case ImageKind::kPhoto:
                        v = 128 + 60 * std::sin(x / 37.0 + y / 53.0 + phase + c) +
                            40 * std::sin((x + 2.0 * y) / 91.0 + c * 0.5) +
                            static_cast<double>(rng() % 9) - 4;
                        break;
                }
                px[c] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
            }
        }
    }
    return out;
}

}  // namespace cbmp::testing
