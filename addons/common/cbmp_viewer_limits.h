/* What every viewer add-on accepts, decided from a CBMP file's 60-byte header before anything is
 * decoded, so that a small file cannot make a viewer or a thumbnailer allocate gigabytes.
 *
 * The pixel limit is the same in every add-on, and the one that Pillow applies by default
 * (Image.MAX_IMAGE_PIXELS): 89,478,485 pixels, a quarter of a gibibyte of 24-bit pixels, four
 * times a 48-megapixel photograph. The stream format expands up to 86 times, so a 12.5 MB file
 * can hold a 1 GB bitmap: such a file is refused at its header.
 *
 * C and C++; header-only. */
#ifndef CBMP_VIEWER_LIMITS_H
#define CBMP_VIEWER_LIMITS_H

#include <stdint.h>

#include "core/cbmpcore.h"

#ifdef __cplusplus
#define CBMP_VIEWER_CAST(type, value) static_cast<type>(value)
#else
#define CBMP_VIEWER_CAST(type, value) ((type)(value))
#endif

#define CBMP_VIEWER_MAX_PIXELS 89478485u
#define CBMP_HEADER_SIZE 60u

/* The bitmap's width and height as a BMP reader takes them from its info header: 16-bit unsigned
 * fields in a 12-byte OS/2 header, 32-bit signed ones (the height negative for a top-down
 * bitmap) in every other kind. Both are 0 for an image without pixels. */
static inline void cbmp_viewer_dimensions(const cbmpcore_info* info, uint32_t* width,
                                          uint32_t* height) {
    if (info->info_header_size == 12) {
        /* The two WORDs share the 32 bits that a longer header gives to the width. */
        uint32_t both = CBMP_VIEWER_CAST(uint32_t, info->width);
        *width = both & 0xFFFFu;
        *height = both >> 16;
        return;
    }
    *width = info->width < 0 ? 0u : CBMP_VIEWER_CAST(uint32_t, info->width);
    /* Negated in 64 bits: INT32_MIN has no 32-bit opposite. */
    const int64_t signed_height = info->height;
    *height = CBMP_VIEWER_CAST(uint32_t, signed_height < 0 ? -signed_height : signed_height);
}

/* True when the image has pixels and no more than CBMP_VIEWER_MAX_PIXELS of them. */
static inline int cbmp_viewer_size_allowed(const cbmpcore_info* info) {
    uint32_t width = 0;
    uint32_t height = 0;
    cbmp_viewer_dimensions(info, &width, &height);
    return width != 0 && height != 0 &&
           CBMP_VIEWER_CAST(uint64_t, width) * height <= CBMP_VIEWER_MAX_PIXELS;
}

/* The bytes of the whole CBMP file by its header: nothing after them is read or kept. */
static inline uint64_t cbmp_viewer_file_size(const cbmpcore_info* info) {
    return CBMP_VIEWER_CAST(uint64_t, CBMP_HEADER_SIZE) + info->compressed_size;
}

#endif /* CBMP_VIEWER_LIMITS_H */
