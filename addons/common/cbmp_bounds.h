// The bounds a plug-in applies to a CBMP file from its 60-byte header, before it reads the
// compressed stream or decodes anything, on top of the viewers' common pixel limit
// (cbmp_viewer_limits.h: width and height as the host's BMP reader takes them, at most
// CBMP_VIEWER_MAX_PIXELS pixels, none refused):
//
//   - the host's own width, height and pixel limits, where it has lower ones;
//   - the payload (colour table and pixels, the header's original size) at most 4 bytes per pixel
//     plus 1 MiB: no bitmap of that size needs more (32 bits per pixel is the widest row, RLE
//     codes take at most 2 bytes per pixel plus 2 per row), while a few megabytes of stream can
//     decode to gigabytes;
//   - the stream no longer than the payload written as literals alone (9 bits a byte and 49 bits
//     of length and end marker), which no writer exceeds.
#ifndef CBMP_ADDONS_COMMON_CBMP_BOUNDS_H
#define CBMP_ADDONS_COMMON_CBMP_BOUNDS_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "addons/common/cbmp_viewer_limits.h"
#include "core/cbmpcore.h"

namespace cbmp_addon {

// What a payload may hold beyond 4 bytes per pixel (colour table, masks, colour profile).
constexpr std::uint64_t kPayloadAllowance = std::uint64_t{1} << 20;

struct Dimensions {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixels() const { return width * height; }  // < 2^64: each is below 2^32
};

inline Dimensions dimensions(const cbmpcore_info& info) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    cbmp_viewer_dimensions(&info, &width, &height);
    return {width, height};
}

enum class Verdict {
    kAccepted,
    kNoPixels,
    kTooWideOrTall,
    kTooManyPixels,
    kPayloadTooLarge,
    kStreamTooLarge
};

// The host's limits: the pixel count, and the width and height when it has limits of its own.
struct Limits {
    std::uint64_t pixels = CBMP_VIEWER_MAX_PIXELS;
    std::uint64_t width = UINT64_MAX;
    std::uint64_t height = UINT64_MAX;
};

inline Verdict check_bounds(const cbmpcore_info& info, const Limits& limits) {
    Dimensions size = dimensions(info);
    if (size.pixels() == 0) {
        return Verdict::kNoPixels;
    }
    if (size.width > limits.width || size.height > limits.height) {
        return Verdict::kTooWideOrTall;
    }
    if (size.pixels() > limits.pixels || size.pixels() > CBMP_VIEWER_MAX_PIXELS) {
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
        case Verdict::kNoPixels:
            return "the image has no pixels";
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

constexpr std::size_t kHeaderSize = CBMP_HEADER_SIZE;

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
