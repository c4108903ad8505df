// The bounds a plug-in applies to a CBMP file from its 60-byte header, before it reads the
// compressed stream or decodes anything: the image's pixel count, and the size of the bitmap that
// decoding gives. One rule for every plug-in that includes this header.
//
//   pixels   = width x height as the host's BMP reader takes them from the info header: two
//              unsigned 16-bit fields for a 12-byte OS/2 header, the magnitudes of the signed
//              32-bit fields otherwise (so a negative, top-down height counts as its size);
//   refused  when the width or height is above the host's own limits (if it has them), when
//              pixels > the plug-in's pixel limit (kDefaultPixelLimit unless the host has a
//              lower one), or when the payload (colour table and pixels, the header's original
//              size) is larger than 4 bytes per pixel plus 1 MiB: no bitmap of that size needs
//              more (32 bits per pixel is the widest row, RLE codes take at most 2 bytes per
//              pixel plus 2 per row), while a few megabytes of stream can decode to gigabytes;
//              or when the stream is longer than the payload written as literals alone (9 bits
//              a byte and 49 bits of length and end marker), which no writer produces.
#ifndef CBMP_ADDONS_COMMON_CBMP_BOUNDS_H
#define CBMP_ADDONS_COMMON_CBMP_BOUNDS_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/cbmpcore.h"

namespace cbmp_addon {

// 2^28 pixels: 16,384 x 16,384, a 1 GiB bitmap at 32 bits per pixel.
constexpr std::uint64_t kDefaultPixelLimit = std::uint64_t{1} << 28;
// What a payload may hold beyond 4 bytes per pixel (colour table, masks, colour profile).
constexpr std::uint64_t kPayloadAllowance = std::uint64_t{1} << 20;

struct Dimensions {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixels() const { return width * height; }  // < 2^64: each is at most 2^31
};

inline std::uint64_t magnitude(std::int32_t value) {
    return value < 0
               ? std::uint64_t{0} - static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
               : static_cast<std::uint64_t>(value);
}

inline Dimensions dimensions(const cbmpcore_info& info) {
    if (info.info_header_size == 12) {
        // BITMAPCOREHEADER: width and height are the two 16-bit halves of the field that a
        // 40-byte header calls biWidth.
        auto raw = static_cast<std::uint32_t>(info.width);
        return {raw & 0xFFFFu, raw >> 16};
    }
    return {magnitude(info.width), magnitude(info.height)};
}

enum class Verdict { kAccepted, kTooWideOrTall, kTooManyPixels, kPayloadTooLarge, kStreamTooLarge };

// The host's limits: the pixel count, and the width and height when it has limits of its own.
struct Limits {
    std::uint64_t pixels = kDefaultPixelLimit;
    std::uint64_t width = UINT64_MAX;
    std::uint64_t height = UINT64_MAX;
};

inline Verdict check_bounds(const cbmpcore_info& info, const Limits& limits) {
    Dimensions size = dimensions(info);
    if (size.width > limits.width || size.height > limits.height) {
        return Verdict::kTooWideOrTall;
    }
    if (size.pixels() > limits.pixels) {
        return Verdict::kTooManyPixels;
    }
    if (info.original_size > 4 * size.pixels() + kPayloadAllowance) {
        return Verdict::kPayloadTooLarge;
    }
    std::uint64_t payload = info.original_size;
    if (info.compressed_size > payload + payload / 8 + 16) {
        return Verdict::kStreamTooLarge;
    }
    return Verdict::kAccepted;
}

inline const char* verdict_text(Verdict verdict) {
    switch (verdict) {
        case Verdict::kAccepted:
            return "accepted";
        case Verdict::kTooWideOrTall:
            return "the image is wider or taller than the limit allows";
        case Verdict::kTooManyPixels:
            return "the image has more pixels than the limit allows";
        case Verdict::kPayloadTooLarge:
            return "the bitmap would decode to more bytes than its size can need";
        case Verdict::kStreamTooLarge:
            return "the compressed stream is longer than its payload can need";
    }
    return "refused";
}

// A CBMP file read within the bounds: its header, then exactly the compressed size of stream
// after it, never a byte more (whatever follows is not read at all).
struct BoundedRead {
    enum class Status {
        kOk,
        kHeaderOnly,  // asked for the header alone: `file` holds its 60 bytes
        kNotCbmp,     // the header is refused by the core library (`core` says why)
        kRefused,     // beyond the bounds (`verdict` says which)
        kTruncated,   // the file ends inside the header or the stream
        kReadError,
        kNoMemory,
    };
    Status status = Status::kReadError;
    cbmpcore_result core = CBMPCORE_OK;
    Verdict verdict = Verdict::kAccepted;
    cbmpcore_info info{};
    std::vector<std::uint8_t> file;  // header and stream, ready for cbmpcore_decompress
};

constexpr std::size_t kHeaderSize = 60;

// `read(buffer, count)` reads up to `count` bytes and returns how many (0 at the end of the file,
// negative on an error).
template <class Read>
BoundedRead read_bounded(Read&& read, const Limits& limits, bool header_only) {
    BoundedRead result;
    auto read_exactly = [&read](std::uint8_t* into, std::size_t count) -> BoundedRead::Status {
        while (count > 0) {
            auto got = read(into, count);
            if (got < 0) {
                return BoundedRead::Status::kReadError;
            }
            if (got == 0) {
                return BoundedRead::Status::kTruncated;
            }
            into += got;
            count -= static_cast<std::size_t>(got);
        }
        return BoundedRead::Status::kOk;
    };
    try {
        result.file.resize(kHeaderSize);
        result.status = read_exactly(result.file.data(), kHeaderSize);
        if (result.status != BoundedRead::Status::kOk) {
            return result;
        }
        result.core = cbmpcore_read_info(result.file.data(), kHeaderSize, &result.info);
        if (result.core != CBMPCORE_OK) {
            result.status = BoundedRead::Status::kNotCbmp;
            return result;
        }
        result.verdict = check_bounds(result.info, limits);
        if (result.verdict != Verdict::kAccepted) {
            result.status = BoundedRead::Status::kRefused;
            return result;
        }
        if (header_only) {
            result.status = BoundedRead::Status::kHeaderOnly;
            return result;
        }
        result.file.resize(kHeaderSize + std::size_t{result.info.compressed_size});
        result.status = read_exactly(result.file.data() + kHeaderSize, result.info.compressed_size);
    } catch (const std::bad_alloc&) {
        result.file = {};
        result.status = BoundedRead::Status::kNoMemory;
    }
    return result;
}

}  // namespace cbmp_addon

#endif
