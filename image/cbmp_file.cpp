#include "image/cbmp_file.h"

#include <cstdio>

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"
#include "image/le_fields.h"
#include "io/input_source.h"

namespace cbmp {

namespace {

// Prints the codec's progress as console lines: "Compressing %u bytes..." or "Decompressing %u
// bytes...", a line for each step, and the closing 100.0% line.
void PrintProgress(void* context, LzEvent event, std::uint32_t pos, std::uint32_t size) {
    const char* verb = static_cast<const char*>(context);
    switch (event) {
        case LzEvent::kStart:
            std::printf("%s %u bytes...\n", verb, size);
            break;
        case LzEvent::kStep:
            std::printf("  Progress: %u/%u (%.1f%%)\r", pos, size, pos * 100.0 / size);
            std::fflush(stdout);
            break;
        case LzEvent::kEnd:
            std::printf("  Progress: %u/%u (100.0%%)\n", size, size);
            break;
    }
}

char kCompressing[] = "Compressing";
char kDecompressing[] = "Decompressing";
const LzProgress kCompressProgress{&PrintProgress, kCompressing};
const LzProgress kDecompressProgress{&PrintProgress, kDecompressing};

void CopyInfoHeader(const BmpImage& from, CbmpHeader& to) {
    to.biSize = from.biSize;
    to.biWidth = from.biWidth;
    to.biHeight = from.biHeight;
    to.biPlanes = from.biPlanes;
    to.biBitCount = from.biBitCount;
    to.biCompression = from.biCompression;
    to.biSizeImage = from.biSizeImage;
    to.biXPelsPerMeter = from.biXPelsPerMeter;
    to.biYPelsPerMeter = from.biYPelsPerMeter;
    to.biClrUsed = from.biClrUsed;
    to.biClrImportant = from.biClrImportant;
}

// Reads the whole file, closing it (when it is one) as soon as the stream is in.
int ReadCbmp(InputSource& in, const char* name, BmpImage* image) {
    std::uint8_t bytes[kCbmpHeaderSize];
    if (ReadSource(in, bytes, 4) != 4 || ReadU32LE(bytes) != kCbmpMagic) {
        std::fprintf(stderr, "Error: Not a valid CBMP file\n");
        return 0;
    }
    if (ReadSource(in, bytes + 4, 4) != 4) {
        std::fprintf(stderr, "Error: Not a valid CBMP file\n");
        return 0;
    }
    if (ReadU32LE(bytes + 4) != kCbmpVersion) {
        std::fprintf(stderr, "Error: Unsupported CBMP version\n");
        return 0;
    }
    if (ReadSource(in, bytes + 8, kCbmpHeaderSize - 8) != kCbmpHeaderSize - 8) {
        std::fprintf(stderr, "Error: Not a valid CBMP file\n");
        return 0;
    }
    CbmpHeader header;
    DecodeCbmpHeader(bytes, header);

    const std::uint64_t remaining = RemainingBytes(in);
    if (remaining != kUnknownSize && header.compressedSize > remaining) {
        std::fprintf(stderr, "Error: Failed to read compressed data\n");
        return 0;
    }
    BlockBuffer stream;
    stream.total = header.compressedSize;
    const BlockStatus status = ReadBlock(in, stream, 0, header.compressedSize);
    if (in.file != nullptr) {
        std::fclose(in.file);
        in.file = nullptr;
    }
    if (status == BlockStatus::kShort) {
        std::fprintf(stderr, "Error: Failed to read compressed data\n");
    }
    if (status != BlockStatus::kOk) {
        return 0;
    }
    if (header.paletteSize > header.originalSize) {
        return 0;
    }
    // A payload too large for any BMP file (its size and the 54 header bytes must fit the
    // file header's 32-bit size field) is refused like a stream that cannot be decoded.
    ByteBuffer payload = header.originalSize <= 0xFFFFFFFFu - kBmpHeadersSize
                             ? LzDecompress(stream.data.get(), header.compressedSize,
                                            header.originalSize, &kDecompressProgress)
                             : nullptr;
    stream.data.reset();
    if (!payload) {
        std::fprintf(stderr, "Error: Decompression failed\n");
        return 0;
    }

    DecodeInfoHeader(bytes + 8, *image);
    image->bfType = kBmpSignature;
    image->bfReserved1 = 0;
    image->bfReserved2 = 0;
    image->paletteSize = header.paletteSize;
    image->pixelSize = header.originalSize - header.paletteSize;
    image->bfOffBits = header.paletteSize + kBmpHeadersSize;
    image->bfSize = header.originalSize + kBmpHeadersSize;
    image->payload = std::move(payload);

    std::printf("Decompressed file: %s\n", name);
    std::printf("Compressed size: %u bytes\n", header.compressedSize);
    std::printf("Original size: %u bytes\n", header.originalSize);
    return 1;
}

}  // namespace

void EncodeCbmpHeader(const CbmpHeader& header, std::uint8_t* bytes) {
    WriteU32LE(bytes, header.magic);
    WriteU32LE(bytes + 4, header.version);
    WriteInfoFields(header, bytes + 8);
    WriteU32LE(bytes + 48, header.compressedSize);
    WriteU32LE(bytes + 52, header.originalSize);
    WriteU32LE(bytes + 56, header.paletteSize);
}

void DecodeCbmpHeader(const std::uint8_t* bytes, CbmpHeader& header) {
    header.magic = ReadU32LE(bytes);
    header.version = ReadU32LE(bytes + 4);
    ReadInfoFields(bytes + 8, header);
    header.compressedSize = ReadU32LE(bytes + 48);
    header.originalSize = ReadU32LE(bytes + 52);
    header.paletteSize = ReadU32LE(bytes + 56);
}

int WriteCbmpFile(const char* path, const BmpImage* image, const TempFileObserver* observer) {
    if (image == nullptr) {
        return 0;
    }
    const std::uint64_t originalSize = std::uint64_t{image->paletteSize} + image->pixelSize;
    if (originalSize > 0xFFFFFFFFu || (originalSize > 0 && !image->payload)) {
        return 0;
    }
    static constexpr std::uint8_t kNoBytes[1] = {0};
    const std::uint8_t* payload = image->payload ? image->payload.get() : kNoBytes;
    std::uint32_t streamSize = 0;
    ByteBuffer stream = LzCompress(payload, static_cast<std::uint32_t>(originalSize), streamSize,
                                   &kCompressProgress);
    if (!stream) {
        return 0;
    }

    CbmpHeader header;
    header.magic = kCbmpMagic;
    header.version = kCbmpVersion;
    header.compressedSize = streamSize;
    header.originalSize = static_cast<std::uint32_t>(originalSize);
    header.paletteSize = image->paletteSize;
    CopyInfoHeader(*image, header);

    OutputFile out;
    const OpenStatus opened = out.Open(path, &image->source, observer);
    if (opened == OpenStatus::kSameAsInput) {
        std::fprintf(stderr, "Error: Output file is the input file\n");
        return 0;
    }
    if (opened != OpenStatus::kOpened) {
        std::fprintf(stderr, "Error: Cannot create file %s\n", path);
        return 0;
    }
    std::uint8_t bytes[kCbmpHeaderSize];
    EncodeCbmpHeader(header, bytes);
    if (!out.Write(bytes, sizeof bytes) || !out.Write(stream.get(), streamSize) || !out.Commit()) {
        out.Discard();
        std::fprintf(stderr, "Error: Cannot write file %s\n", path);
        return 0;
    }

    std::printf("Compressed file created: %s\n", path);
    std::printf("Original size: %u bytes\n", header.originalSize);
    std::printf("Compressed size: %u bytes\n", header.compressedSize);
    if (header.originalSize > 0) {
        std::printf("Compression ratio: %.2f%%\n",
                    header.compressedSize * 100.0 / header.originalSize);
    }
    return 1;
}

int ReadCbmpFile(const char* path, BmpImage* image) {
    if (image == nullptr) {
        return 0;
    }
    std::FILE* file = OpenInputFile(path);
    if (file == nullptr) {
        std::fprintf(stderr, "Error: Cannot open file %s\n", path);
        return 0;
    }
    InputSource in = FileSource(file, path);
    const int result = ReadCbmp(in, path, image);
    if (result == 1) {
        image->source = in.identity;
    }
    if (in.file != nullptr) {
        std::fclose(in.file);
    }
    return result;
}

int ReadCbmpMemory(const std::uint8_t* data, std::size_t size, const char* name, BmpImage* image) {
    if (image == nullptr) {
        return 0;
    }
    InputSource in = MemorySource(data, size);
    return ReadCbmp(in, name, image);
}

}  // namespace cbmp
