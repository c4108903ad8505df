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

// A CBMP file's header as it is held in memory, with its stream, ready to be written.
struct CbmpEncoding {
    CbmpHeader header;
    ByteBuffer stream;  // header.compressedSize bytes
};

// Compresses the payload of `image` into `encoding`, reporting the encoder's progress. `threads`
// is the caller's choice of encoder threads (0: as many as there are cores). Fails with
// kNoMemory (the encoder's tables or stream) or kBmpTooLarge.
ImageStatus EncodeCbmp(const BmpImage& image, CbmpEncoding& encoding, const LzProgress* progress,
                       unsigned threads = 0);

// Reads the 60-byte header from `in` and checks magic and version: kNotCbmp or
// kUnsupportedVersion, in the order the bytes come.
ImageStatus ReadCbmpHeader(InputSource& in, CbmpHeader& header);

// Checks the stated sizes of a header that ReadCbmpHeader accepted, as decoding does before it
// starts: kPaletteBeyondOriginal, or kCbmpTooLarge for a payload no BMP file could hold.
ImageStatus CheckCbmpSizes(const CbmpHeader& header);

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

}  // namespace cbmp
