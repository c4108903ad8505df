#include "console/messages.h"

#include "core/failure_table.h"

namespace cbmp::console {

void PrintOpening(const Streams& streams, Operation operation, const char* input,
                  const char* output) {
    std::fprintf(
        streams.out,
        operation == Operation::kCompress ? "Compressing: %s -> %s\n" : "Decompressing: %s -> %s\n",
        input, output);
}

void PrintClosing(const Streams& streams, Operation operation, const core::Outcome& outcome) {
    if (operation == Operation::kCompress) {
        if (outcome.ok()) {
            std::fputs("Compression successful!\n", streams.out);
        } else if (outcome.started) {
            std::fputs("Error: Compression failed\n", streams.err);
        } else {
            std::fputs("Error: Failed to read BMP file\n", streams.err);
        }
    } else if (outcome.ok()) {
        std::fputs("Decompression successful!\n", streams.out);
    } else {
        std::fputs("Error: Decompression failed\n", streams.err);
    }
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

void PrintMissingArguments() {
    std::fprintf(stderr, "Error: Missing arguments\n");
}

void PrintTooManyArguments() {
    std::fprintf(stderr, "Error: Too many arguments\n");
}

void PrintVersion(const char* version) {
    std::printf("cbmp %s\n", version);
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
    const core::FailureRow* row = core::RowOf(failure.cause);
    if (row == nullptr || row->line.text == nullptr) {
        return "";
    }
    std::string line = std::string("Error: ") + row->line.text;
    if (row->line.namesFile) {
        line += ' ';
        line += failure.path != nullptr ? failure.path : "";
    }
    return line + "\n";
}

void ConsoleEvents::Failed(const core::Failure& failure) {
    const std::string line = FailureLine(failure);
    if (!line.empty()) {
        std::fputs(line.c_str(), streams_.err);
    }
}

void ConsoleEvents::Progress(core::Codec codec, LzEvent event, std::uint32_t pos,
                             std::uint32_t size) {
    switch (event) {
        case LzEvent::kStart:
            std::fprintf(streams_.out,
                         codec == core::Codec::kEncoder ? "Compressing %u bytes...\n"
                                                        : "Decompressing %u bytes...\n",
                         size);
            break;
        case LzEvent::kStep:
            std::fprintf(streams_.out, "  Progress: %u/%u (%.1f%%)\r", pos, size,
                         pos * 100.0 / size);
            std::fflush(streams_.out);
            break;
        case LzEvent::kEnd:
            std::fprintf(streams_.out, "  Progress: %u/%u (100.0%%)\n", size, size);
            break;
    }
}

void ConsoleEvents::Compressed(const core::CompressSummary& summary) {
    std::FILE* out = streams_.out;
    std::fprintf(out, "Compressed file created: %s\n", summary.path != nullptr ? summary.path : "");
    std::fprintf(out, "Original size: %u bytes\n", summary.originalSize);
    std::fprintf(out, "Compressed size: %u bytes\n", summary.compressedSize);
    if (summary.originalSize > 0) {
        std::fprintf(out, "Compression ratio: %.2f%%\n",
                     summary.compressedSize * 100.0 / summary.originalSize);
    }
}

void ConsoleEvents::Decompressed(const core::DecompressSummary& summary) {
    std::FILE* out = streams_.out;
    std::fprintf(out, "Decompressed file: %s\n", summary.path != nullptr ? summary.path : "");
    std::fprintf(out, "Compressed size: %u bytes\n", summary.compressedSize);
    std::fprintf(out, "Original size: %u bytes\n", summary.originalSize);
}

}  // namespace cbmp::console
