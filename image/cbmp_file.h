// The CBMP container: a 60-byte header (magic, version, the bitmap's 40-byte info header and
// three sizes), then the compressed stream of the payload, colour-table block first.
//
//   offset  size  field
//   0       4     magic "CBMP" (0x504D4243)
//   4       4     version, 1
//   8       40    info header, as in the BMP file
//   48      4     compressed size: bytes of the stream at offset 60
//   52      4     original size: palette size + pixel size
//   56      4     palette size: bytes of the colour-table block at the start of the payload
//   60            the stream; nothing follows it
//
// Like the rest of the image layer this neither prints nor opens files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"
#include "codec/lz_sink.h"
#include "image/bmp_image.h"
#include "image/image_status.h"
#include "image/info_header.h"
#include "io/input_source.h"

namespace cbmp {

inline constexpr std::uint32_t kCbmpMagic = 0x504D4243;
inline constexpr std::uint32_t kCbmpVersion = 1;
inline constexpr std::uint32_t kCbmpHeaderSize = 60;

struct CbmpHeader {
    std::uint32_t magic = 0;
    std::uint32_t version = 0;
    InfoHeader info;
    std::uint32_t compressedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint32_t paletteSize = 0;
};

void EncodeCbmpHeader(const CbmpHeader& header, std::uint8_t* bytes);  // 60 bytes
CbmpHeader DecodeCbmpHeader(const std::uint8_t* bytes);

// The header that a CBMP file of `image` starts with, its compressed size still 0. Fails with
// kBmpTooLarge when the payload does not fit 32 bits.
ImageStatus CbmpHeaderFor(const BmpImage& image, CbmpHeader& header);

// Compresses the payload of `image`, handing the stream to `sink` in order as it comes, and sets
// `header` (CbmpHeaderFor) with the stream's size once it is complete. `threads` is the caller's
// choice of encoder threads (0: as many as there are cores). Fails with kBmpTooLarge, or
// kNoMemory (the encoder's memory, or a sink that refused the stream).
ImageStatus EncodeCbmpTo(const BmpImage& image, const LzSink& sink, CbmpHeader& header,
                         const LzProgress* progress, unsigned threads = 0);

// A whole CBMP file in one buffer: its 60 header bytes, then the stream.
struct CbmpFileBuffer {
    CbmpHeader header;
    ByteBuffer bytes;
    std::size_t size = 0;
};

// EncodeCbmpTo into a new buffer that grows as the stream comes (no worst-case reservation),
// header included.
ImageStatus EncodeCbmpFile(const BmpImage& image, CbmpFileBuffer& file, const LzProgress* progress,
                           unsigned threads = 0);

// Reads the 60-byte header from `in` and checks magic and version: kNotCbmp or
// kUnsupportedVersion, in the order the bytes come.
ImageStatus ReadCbmpHeader(InputSource& in, CbmpHeader& header);

// Checks the stated sizes of a header that ReadCbmpHeader accepted, as decoding does before it
// starts: kPaletteBeyondOriginal, or kCbmpTooLarge for a payload no BMP file could hold.
ImageStatus CheckCbmpSizes(const CbmpHeader& header);

// CheckCbmpSizes, and a stated size that the stream could never decode to (kCorruptStream): what
// decoding refuses before it allocates or hands over anything.
ImageStatus CheckCbmpDecodable(const CbmpHeader& header);

// The compressed stream that follows the header in `in`: for a memory source a view of the
// caller's bytes, for a file a buffer filled from it. Fails with kCompressedDataShort or
// kNoMemory.
struct CbmpStream {
    ByteBuffer owned;
    const std::uint8_t* bytes = nullptr;
};
ImageStatus ReadCbmpStream(InputSource& in, const CbmpHeader& header, CbmpStream& stream);

// A whole BMP file in one buffer: its 54 header bytes, then the colour-table block and the pixels.
struct BmpFileBuffer {
    ByteBuffer bytes;
    std::size_t size = 0;
};

// Decodes `stream` into a new BMP file, rebuilding the file header that CBMP does not store
// (bfOffBits and bfSize from the sizes, reserved words 0). The payload is decoded in place
// behind the headers. Fails with kPaletteBeyondOriginal, kCbmpTooLarge, kCorruptStream (also for
// a stated size that the stream could never decode to, refused before anything is allocated) or
// kDecodeNoMemory; reports the decoder's progress.
ImageStatus DecodeCbmp(const CbmpHeader& header, const std::uint8_t* stream, BmpFileBuffer& bmp,
                       const LzProgress* progress);

// DecodeCbmp that hands the BMP file to `sink` in order instead (its 54 header bytes, then the
// payload in chunks as the decoder fills its buffer), so that memory does not grow with the
// image. Fails as DecodeCbmp does, the checks before any byte goes to the sink, or with
// kCannotWrite when the sink refused a chunk.
ImageStatus DecodeCbmpTo(const CbmpHeader& header, const std::uint8_t* stream, const LzSink& sink,
                         const LzProgress* progress);

}  // namespace cbmp
