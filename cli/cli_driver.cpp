#include "cli/cli_driver.h"

#include <cstdio>
#include <cstring>

#include "cli/signal_cleanup.h"
#include "image/bmp_image.h"
#include "image/cbmp_file.h"

namespace cbmp {

namespace {

int Compress(const char* input, const char* output) {
    std::printf("Compressing: %s -> %s\n", input, output);
    BmpImagePtr image(ReadBmpFile(input));
    if (!image) {
        std::fprintf(stderr, "Error: Failed to read BMP file\n");
        return 1;
    }
    if (WriteCbmpFile(output, image.get(), SignalCleanupObserver()) == 1) {
        std::printf("Compression successful!\n");
        return 0;
    }
    std::fprintf(stderr, "Error: Compression failed\n");
    return 1;
}

int Decompress(const char* input, const char* output) {
    std::printf("Decompressing: %s -> %s\n", input, output);
    BmpImagePtr image(CreateBmpImage());
    if (!image) {
        std::fprintf(stderr, "Error: Memory allocation failed\n");
        return 1;
    }
    if (ReadCbmpFile(input, image.get()) == 1 &&
        WriteBmpFile(output, image.get(), SignalCleanupObserver()) == 1) {
        std::printf("Decompression successful!\n");
        return 0;
    }
    std::fprintf(stderr, "Error: Decompression failed\n");
    return 1;
}

}  // namespace

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

int RunCli(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "cbmp";
    if (argc < 2) {
        PrintUsage(program);
        return 1;
    }
    const char* mode = argv[1];
    if (std::strcmp(mode, "-h") == 0 || std::strcmp(mode, "--help") == 0) {
        PrintUsage(program);
        return 0;
    }
    if (std::strcmp(mode, "--version") == 0) {
        std::printf("cbmp %s\n", CBMP_VERSION_TEXT);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "Error: Missing arguments\n");
        PrintUsage(program);
        return 1;
    }
    if (argc > 4) {
        // Anything after the output is refused: "cbmp -c *.bmp" would otherwise write over the
        // second bitmap and ignore the rest.
        std::fprintf(stderr, "Error: Too many arguments\n");
        PrintUsage(program);
        return 1;
    }
    int code = 1;
    if (std::strcmp(mode, "-c") == 0) {
        code = Compress(argv[2], argv[3]);
    } else if (std::strcmp(mode, "-d") == 0) {
        code = Decompress(argv[2], argv[3]);
    } else {
        std::fprintf(stderr, "Error: Unknown mode '%s'\n", mode);
        PrintUsage(program);
    }
    std::fflush(stdout);
    return code;
}

}  // namespace cbmp
