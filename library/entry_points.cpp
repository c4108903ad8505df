#include "library/entry_points.h"

#include <cstdio>

#include "image/bmp_image.h"
#include "image/cbmp_file.h"

namespace cbmp {

int CompactFile(const char* input, const char* output) {
    std::printf("Compressing: %s -> %s\n", input, output);
    const BmpImagePtr image(ReadBmpFile(input));
    if (!image) {
        std::fprintf(stderr, "Error: Failed to read BMP file\n");
        return kOperationNotStarted;
    }
    if (WriteCbmpFile(output, image.get()) == 1) {
        std::printf("Compression successful!\n");
    } else {
        std::fprintf(stderr, "Error: Compression failed\n");
    }
    return kOperationRan;
}

int DecompactFile(const char* input, const char* output) {
    const BmpImagePtr image(CreateBmpImage());
    if (!image) {
        std::fprintf(stderr, "Error: Memory allocation failed\n");
        return kOperationNotStarted;
    }
    if (ReadCbmpFile(input, image.get()) == 1 && WriteBmpFile(output, image.get()) == 1) {
        std::printf("Decompression successful!\n");
    } else {
        std::fprintf(stderr, "Error: Decompression failed\n");
    }
    return kOperationRan;
}

}  // namespace cbmp
