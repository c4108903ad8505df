#include "console/messages.h"

#include <cstdio>

namespace cbmp::console {

void PrintCompressing(const char* input, const char* output) {
    std::printf("Compressing: %s -> %s\n", input, output);
}

void PrintDecompressing(const char* input, const char* output) {
    std::printf("Decompressing: %s -> %s\n", input, output);
}

void PrintCompressionSucceeded() {
    std::printf("Compression successful!\n");
}

void PrintCompressionFailed() {
    std::fprintf(stderr, "Error: Compression failed\n");
}

void PrintDecompressionSucceeded() {
    std::printf("Decompression successful!\n");
}

void PrintDecompressionFailed() {
    std::fprintf(stderr, "Error: Decompression failed\n");
}

void PrintReadBmpFailed() {
    std::fprintf(stderr, "Error: Failed to read BMP file\n");
}

void PrintMemoryFailed() {
    std::fprintf(stderr, "Error: Memory allocation failed\n");
}

void PrintInvalidPath() {
    std::fprintf(stderr, "Error: Invalid path\n");
}

void PrintUnknownMode(const char* mode) {
    std::fprintf(stderr, "Error: Unknown mode '%s'\n", mode);
}

void PrintUsage(const char* programName) {
    std::printf("BMP Compressor/Decompressor - Heavy compression using LZ77+bit-packing\n\n");
    std::printf("Usage:\n");
    std::printf("  %s -c <input.bmp> <output.cbmp>     Compress BMP to CBMP\n", programName);
    std::printf("  %s -d <input.cbmp> <output.bmp>     Decompress CBMP to BMP\n", programName);
    std::printf("  %s -h                                Show this help\n", programName);
    std::printf("\nExamples:\n");
    std::printf("  %s -c image.bmp image.cbmp\n", programName);
    std::printf("  %s -d image.cbmp image_restored.bmp\n", programName);
}

std::string FailureLine(const core::Failure& failure) {
    const std::string path = failure.path != nullptr ? failure.path : "";
    switch (failure.cause) {
        case ImageStatus::kCannotOpen:
            return "Error: Cannot open file " + path + "\n";
        case ImageStatus::kCannotCreate:
            return "Error: Cannot create file " + path + "\n";
        case ImageStatus::kCannotWrite:
            return "Error: Cannot write file " + path + "\n";
        case ImageStatus::kOutputIsInput:
            return "Error: Output file is the input file\n";
        case ImageStatus::kNotBmp:
            return "Error: Not a valid BMP file\n";
        case ImageStatus::kColorTableShort:
            return "Error: Failed to read color table\n";
        case ImageStatus::kPixelDataShort:
        case ImageStatus::kBmpTooLarge:  // told as the pixel block that cannot be had
            return "Error: Failed to read pixel data\n";
        case ImageStatus::kNotCbmp:
            return "Error: Not a valid CBMP file\n";
        case ImageStatus::kUnsupportedVersion:
            return "Error: Unsupported CBMP version\n";
        case ImageStatus::kCompressedDataShort:
            return "Error: Failed to read compressed data\n";
        case ImageStatus::kCorruptStream:
        case ImageStatus::kDecodeNoMemory:
        case ImageStatus::kCbmpTooLarge:  // told as a stream that cannot be decoded
            return "Error: Decompression failed\n";
        case ImageStatus::kOk:
        case ImageStatus::kNoMemory:
        case ImageStatus::kPixelOffsetBeyondSize:
        case ImageStatus::kPaletteBeyondOriginal:
            break;
    }
    return "";
}

void ConsoleEvents::Failed(const core::Failure& failure) {
    const std::string line = FailureLine(failure);
    if (!line.empty()) {
        std::fputs(line.c_str(), stderr);
    }
}

void ConsoleEvents::Progress(core::Codec codec, LzEvent event, std::uint32_t pos,
                             std::uint32_t size) {
    switch (event) {
        case LzEvent::kStart:
            std::printf(codec == core::Codec::kEncoder ? "Compressing %u bytes...\n"
                                                       : "Decompressing %u bytes...\n",
                        size);
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

void ConsoleEvents::Compressed(const core::CompressSummary& summary) {
    std::printf("Compressed file created: %s\n", summary.path != nullptr ? summary.path : "");
    std::printf("Original size: %u bytes\n", summary.originalSize);
    std::printf("Compressed size: %u bytes\n", summary.compressedSize);
    if (summary.originalSize > 0) {
        std::printf("Compression ratio: %.2f%%\n",
                    summary.compressedSize * 100.0 / summary.originalSize);
    }
}

void ConsoleEvents::Decompressed(const core::DecompressSummary& summary) {
    std::printf("Decompressed file: %s\n", summary.path != nullptr ? summary.path : "");
    std::printf("Compressed size: %u bytes\n", summary.compressedSize);
    std::printf("Original size: %u bytes\n", summary.originalSize);
}

}  // namespace cbmp::console
