// Shared by the fuzz targets: console silencing, the check that ends a run on a wrong result, and
// a bit-by-bit decoder that follows the stream rules one at a time, against which the fast
// decoder is compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace cbmp::fuzz {

using Bytes = std::vector<std::uint8_t>;

// The codec and the readers print progress and summaries on the standard output; a fuzz run
// makes millions of calls, so that output goes nowhere.
inline void SilenceStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::fclose(stdout);
    }
}

// A wrong result is a finding just like a crash: report it and abort, so the fuzzer keeps the
// input.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define CBMP_FUZZ_CHECK(cond)                              \
    do {                                                   \
        if (!(cond)) {                                     \
            ::cbmp::fuzz::Fail(#cond, __FILE__, __LINE__); \
        }                                                  \
    } while (0)

inline std::uint32_t LoadU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// What the decoder must produce for `stream` and a declared `size`: the bytes, or nothing when
// the stream is corrupt (too short for its length field, a declared size beyond what the stream
// could hold, running out before `size` bytes, an end marker before `size` bytes, a match
// reaching before the start). One bit at a time, one byte at a time: slow and plain.
inline std::optional<Bytes> PlainDecode(const std::uint8_t* stream, std::size_t streamSize,
                                        std::uint32_t size) {
    if (streamSize < 4 || size > 86 * (std::uint64_t{streamSize} - 4) + 2) {
        return std::nullopt;
    }
    const std::uint64_t limit = std::uint64_t{streamSize} * 8;
    std::uint64_t bit = 32;
    auto get = [&](unsigned width, std::uint32_t& value) {
        if (limit - bit < width) {
            return false;
        }
        value = 0;
        for (unsigned i = 0; i < width; ++i, ++bit) {
            value |= static_cast<std::uint32_t>((stream[bit / 8] >> (bit % 8)) & 1u) << i;
        }
        return true;
    };
    Bytes out(size);
    std::uint32_t pos = 0;
    while (pos < size) {
        std::uint32_t flag = 0;
        std::uint32_t field = 0;
        if (!get(1, flag)) {
            return std::nullopt;
        }
        if (flag == 0) {
            if (!get(8, field)) {
                return std::nullopt;
            }
            out[pos++] = static_cast<std::uint8_t>(field);
            continue;
        }
        if (!get(15, field) || field == 0) {
            return std::nullopt;  // ran out, or the end marker came early
        }
        const std::uint32_t distance = field + 1;
        if (!get(8, field) || distance > pos) {
            return std::nullopt;
        }
        for (std::uint32_t i = 0; i < field + 3 && pos < size; ++i, ++pos) {
            out[pos] = out[pos - distance];
        }
    }
    return out;
}

}  // namespace cbmp::fuzz
