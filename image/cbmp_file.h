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
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/bmp_image.h"
#include "io/output_file.h"

namespace cbmp {

inline constexpr std::uint32_t kCbmpMagic = 0x504D4243;
inline constexpr std::uint32_t kCbmpVersion = 1;
inline constexpr std::uint32_t kCbmpHeaderSize = 60;

struct CbmpHeader {
    std::uint32_t magic = 0;
    std::uint32_t version = 0;
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint32_t paletteSize = 0;
};

void EncodeCbmpHeader(const CbmpHeader& header, std::uint8_t* bytes);  // 60 bytes
void DecodeCbmpHeader(const std::uint8_t* bytes, CbmpHeader& header);

// Compresses the payload of `image` and writes it as a CBMP file, then prints the summary.
// Returns 1, or 0 (with the reason printed where there is one).
int WriteCbmpFile(const char* path, const BmpImage* image,
                  const TempFileObserver* observer = nullptr);

// Reads and decompresses the CBMP file at `path` into the zero-filled `image`, rebuilding the BMP
// file header, and prints the summary. Returns 1, or 0 with `image` holding no buffer.
int ReadCbmpFile(const char* path, BmpImage* image);

// ReadCbmpFile over bytes in memory; `name` stands for the file name in the summary.
int ReadCbmpMemory(const std::uint8_t* data, std::size_t size, const char* name, BmpImage* image);

}  // namespace cbmp
