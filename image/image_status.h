// What an image operation found. The image layer never prints: each status names one cause, and
// core/failure_table.h gives each its result code, its text and its console line.
#pragma once

namespace cbmp {

enum class ImageStatus {
    kOk,
    kNoMemory,               // a buffer could not be allocated
    kCannotOpen,             // the input file cannot be opened
    kNotBmp,                 // no "BM" signature, or the file ends inside the 54 header bytes
    kColorTableShort,        // the input ends inside the colour-table block
    kPixelDataShort,         // the input ends inside the pixel block
    kPixelOffsetBeyondSize,  // bfOffBits is greater than bfSize: no pixel block can be had
    kBmpTooLarge,            // colour table and pixels together exceed 32 bits
    kNotCbmp,                // no "CBMP" magic, or the file ends inside the 60-byte header
    kUnsupportedVersion,     // a CBMP version other than 1
    kCompressedDataShort,    // the input ends inside the compressed stream
    kCorruptStream,          // the compressed stream does not decode
    kDecodeNoMemory,         // the decoded file cannot be allocated (told like a failed decoding)
    kCbmpTooLarge,           // the stated payload cannot be a BMP file (over 32 bits with headers)
    kPaletteBeyondOriginal,  // the stated palette size exceeds the stated original size
    kCannotCreate,           // the output file cannot be created
    kCannotWrite,            // writing or completing the output file failed
    kOutputIsInput,          // the output names the very file being read
};

// The last cause: a new one goes before it, or moves this along, so that the failure table's
// check that every cause has a row sees it.
inline constexpr ImageStatus kLastImageStatus = ImageStatus::kOutputIsInput;

}  // namespace cbmp
