// Every way an operation can end, in one table: each cause once, with the C result code that
// libcbmpcore's callers get for it, that code's text (cbmpcore_result_text) and the console line
// that the tool and libcbmp print where the cause is detected. The core's ResultOf, the C
// interface's cbmpcore_result_text and the console's FailureLine all read it, and the Python
// module builds its enum from cbmpcore_result_text, so a new cause is one new row here (with its
// ImageStatus and, for a new code, its cbmpcore_result and its line in docs/core-api.md, which a
// test compares with this table).
//
// It lives in the core because the core is the lowest layer that knows both the causes (the image
// layer's ImageStatus) and the codes (its own C interface). Nothing here prints.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/cbmpcore.h"
#include "image/image_status.h"

namespace cbmp::core {

// What the console prints for a cause where it is detected.
struct ConsoleLine {
    const char* text = nullptr;  // the line after "Error: "; null when the cause is silent there
    bool namesFile = false;      // the line ends with the path of the file concerned
};

struct FailureRow {
    // The cause as it is detected; none for a code that no image status stands for: a bad
    // argument to the C interface, and an I/O error, which is told by the cause that was being
    // read when it happened (its console line, with this code).
    std::optional<ImageStatus> cause;
    cbmpcore_result result;
    const char* resultName;  // the C enumerator's name
    const char* resultText;  // cbmpcore_result_text; the same on every row of one code
    ConsoleLine line;
};

inline constexpr ConsoleLine kSilent{};

// clang-format off
inline constexpr FailureRow kFailureTable[] = {
    {ImageStatus::kOk, CBMPCORE_OK, "CBMPCORE_OK", "Success", kSilent},
    {std::nullopt, CBMPCORE_ERROR_INVALID_ARGUMENT, "CBMPCORE_ERROR_INVALID_ARGUMENT",
     "Invalid argument", kSilent},
    {ImageStatus::kNoMemory, CBMPCORE_ERROR_NO_MEMORY, "CBMPCORE_ERROR_NO_MEMORY",
     "Memory allocation failed", kSilent},
    // The decoded file cannot be allocated: told like a stream that does not decode.
    {ImageStatus::kDecodeNoMemory, CBMPCORE_ERROR_NO_MEMORY, "CBMPCORE_ERROR_NO_MEMORY",
     "Memory allocation failed", {"Decompression failed"}},
    {ImageStatus::kCannotOpen, CBMPCORE_ERROR_CANNOT_OPEN, "CBMPCORE_ERROR_CANNOT_OPEN",
     "Cannot open file", {"Cannot open file", true}},
    {std::nullopt, CBMPCORE_ERROR_READ, "CBMPCORE_ERROR_READ", "Cannot read file", kSilent},
    {ImageStatus::kCannotCreate, CBMPCORE_ERROR_CANNOT_CREATE, "CBMPCORE_ERROR_CANNOT_CREATE",
     "Cannot create file", {"Cannot create file", true}},
    {ImageStatus::kCannotWrite, CBMPCORE_ERROR_WRITE, "CBMPCORE_ERROR_WRITE",
     "Cannot write file", {"Cannot write file", true}},
    {ImageStatus::kOutputIsInput, CBMPCORE_ERROR_OUTPUT_IS_INPUT, "CBMPCORE_ERROR_OUTPUT_IS_INPUT",
     "Output file is the input file", {"Output file is the input file"}},
    {ImageStatus::kNotBmp, CBMPCORE_ERROR_NOT_BMP, "CBMPCORE_ERROR_NOT_BMP",
     "Not a valid BMP file", {"Not a valid BMP file"}},
    {ImageStatus::kColorTableShort, CBMPCORE_ERROR_COLOR_TABLE_SHORT,
     "CBMPCORE_ERROR_COLOR_TABLE_SHORT", "Failed to read color table",
     {"Failed to read color table"}},
    {ImageStatus::kPixelDataShort, CBMPCORE_ERROR_PIXEL_DATA_SHORT,
     "CBMPCORE_ERROR_PIXEL_DATA_SHORT", "Failed to read pixel data",
     {"Failed to read pixel data"}},
    {ImageStatus::kPixelOffsetBeyondSize, CBMPCORE_ERROR_BMP_LAYOUT, "CBMPCORE_ERROR_BMP_LAYOUT",
     "Pixel offset beyond the file size", kSilent},
    // Colour table and pixels over 32 bits: told as the pixel block that cannot be had.
    {ImageStatus::kBmpTooLarge, CBMPCORE_ERROR_TOO_LARGE, "CBMPCORE_ERROR_TOO_LARGE",
     "Image too large", {"Failed to read pixel data"}},
    // A payload that cannot be a BMP file: told as a stream that cannot be decoded.
    {ImageStatus::kCbmpTooLarge, CBMPCORE_ERROR_TOO_LARGE, "CBMPCORE_ERROR_TOO_LARGE",
     "Image too large", {"Decompression failed"}},
    {ImageStatus::kNotCbmp, CBMPCORE_ERROR_NOT_CBMP, "CBMPCORE_ERROR_NOT_CBMP",
     "Not a valid CBMP file", {"Not a valid CBMP file"}},
    {ImageStatus::kUnsupportedVersion, CBMPCORE_ERROR_UNSUPPORTED_VERSION,
     "CBMPCORE_ERROR_UNSUPPORTED_VERSION", "Unsupported CBMP version",
     {"Unsupported CBMP version"}},
    {ImageStatus::kCompressedDataShort, CBMPCORE_ERROR_COMPRESSED_DATA_SHORT,
     "CBMPCORE_ERROR_COMPRESSED_DATA_SHORT", "Failed to read compressed data",
     {"Failed to read compressed data"}},
    {ImageStatus::kCorruptStream, CBMPCORE_ERROR_CORRUPT_STREAM, "CBMPCORE_ERROR_CORRUPT_STREAM",
     "Decompression failed", {"Decompression failed"}},
    {ImageStatus::kPaletteBeyondOriginal, CBMPCORE_ERROR_CBMP_LAYOUT, "CBMPCORE_ERROR_CBMP_LAYOUT",
     "Palette size beyond the original size", kSilent},
};
// clang-format on

// One more than the largest result code: the codes are exactly 0 to kResultCount - 1.
inline constexpr std::size_t kResultCount = [] {
    std::size_t count = 0;
    for (const FailureRow& row : kFailureTable) {
        count = std::max(count, static_cast<std::size_t>(row.result) + 1);
    }
    return count;
}();

// The first row of `result`, or null for a value that is no result code.
constexpr const FailureRow* RowOf(cbmpcore_result result) {
    for (const FailureRow& row : kFailureTable) {
        if (row.result == result) {
            return &row;
        }
    }
    return nullptr;
}

// The row of `cause`; the checks below make sure that every cause has one.
constexpr const FailureRow* RowOf(ImageStatus cause) {
    for (const FailureRow& row : kFailureTable) {
        if (row.cause == cause) {
            return &row;
        }
    }
    return nullptr;
}

namespace failure_table_checks {

// Every code from 0 up has a row, every row of one code has that code's name and text, and every
// cause has exactly one row.
constexpr bool CodesAreWhole() {
    for (std::size_t code = 0; code < kResultCount; ++code) {
        const FailureRow* first = RowOf(static_cast<cbmpcore_result>(code));
        if (first == nullptr) {
            return false;
        }
        for (const FailureRow& row : kFailureTable) {
            if (static_cast<std::size_t>(row.result) == code &&
                (std::string_view(row.resultName) != first->resultName ||
                 std::string_view(row.resultText) != first->resultText)) {
                return false;
            }
        }
    }
    return true;
}

constexpr bool EachCauseOnce() {
    for (int cause = 0; cause <= static_cast<int>(kLastImageStatus); ++cause) {
        int rows = 0;
        for (const FailureRow& row : kFailureTable) {
            rows += row.cause == static_cast<ImageStatus>(cause) ? 1 : 0;
        }
        if (rows != 1) {
            return false;
        }
    }
    return true;
}

static_assert(CodesAreWhole(), "a result code without a row, or with two names or texts");
static_assert(EachCauseOnce(), "an ImageStatus with no row, or with several");
static_assert(RowOf(ImageStatus::kOk)->result == CBMPCORE_OK);

}  // namespace failure_table_checks

}  // namespace cbmp::core
