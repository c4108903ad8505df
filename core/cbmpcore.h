/* cbmpcore: the CBMP core library's C interface.
 *
 * Compresses whole BMP files into CBMP files and back, in memory or between files, and reads a
 * CBMP file's header without decoding it. Nothing is ever printed: every outcome is a result code
 * (cbmpcore_result_text turns one into text), and progress goes to an optional callback. Every
 * function may be called from any number of threads at once; no call keeps state.
 *
 * Buffers that the library returns are released with cbmpcore_free. Paths are NUL-terminated
 * narrow strings: UTF-8 on Windows, the file system's own bytes elsewhere. */
#ifndef CBMPCORE_H
#define CBMPCORE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(CBMPCORE_BUILDING_LIBRARY)
#define CBMPCORE_API __declspec(dllexport)
#else
#define CBMPCORE_API __declspec(dllimport)
#endif
#else
#define CBMPCORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface: a program built against this header runs with any library of
 * the same major version. */
#define CBMPCORE_VERSION_MAJOR 1
#define CBMPCORE_VERSION_MINOR 0
#define CBMPCORE_VERSION_PATCH 0

/* Every outcome of a call. The comment gives the text of cbmpcore_result_text. The values run
 * from 0 without a gap, and cbmpcore_result_text gives "Unknown error" from the first value past
 * the last code on, so a program (or a language binding) can list every code of the library it
 * runs with. */
typedef enum cbmpcore_result {
    CBMPCORE_OK = 0,                       /* "Success" */
    CBMPCORE_ERROR_INVALID_ARGUMENT = 1,   /* "Invalid argument" (a null pointer, ...) */
    CBMPCORE_ERROR_NO_MEMORY = 2,          /* "Memory allocation failed" */
    CBMPCORE_ERROR_CANNOT_OPEN = 3,        /* "Cannot open file" (the input) */
    CBMPCORE_ERROR_READ = 4,               /* "Cannot read file" (an I/O error while reading) */
    CBMPCORE_ERROR_CANNOT_CREATE = 5,      /* "Cannot create file" (the output) */
    CBMPCORE_ERROR_WRITE = 6,              /* "Cannot write file" (the output) */
    CBMPCORE_ERROR_OUTPUT_IS_INPUT = 7,    /* "Output file is the input file" */
    CBMPCORE_ERROR_NOT_BMP = 8,            /* "Not a valid BMP file" */
    CBMPCORE_ERROR_COLOR_TABLE_SHORT = 9,  /* "Failed to read color table" */
    CBMPCORE_ERROR_PIXEL_DATA_SHORT = 10,  /* "Failed to read pixel data" */
    CBMPCORE_ERROR_BMP_LAYOUT = 11,        /* "Pixel offset beyond the file size" */
    CBMPCORE_ERROR_TOO_LARGE = 12,         /* "Image too large" (its sizes do not fit 32 bits) */
    CBMPCORE_ERROR_NOT_CBMP = 13,          /* "Not a valid CBMP file" */
    CBMPCORE_ERROR_UNSUPPORTED_VERSION = 14, /* "Unsupported CBMP version" */
    CBMPCORE_ERROR_COMPRESSED_DATA_SHORT = 15, /* "Failed to read compressed data" */
    CBMPCORE_ERROR_CORRUPT_STREAM = 16,    /* "Decompression failed" (the stream is corrupt) */
    CBMPCORE_ERROR_CBMP_LAYOUT = 17        /* "Palette size beyond the original size" */
} cbmpcore_result;

/* A short English text for `result`, never null (an unknown value gives "Unknown error"). */
CBMPCORE_API const char* cbmpcore_result_text(cbmpcore_result result);

/* The library's version, "major.minor.patch". */
CBMPCORE_API const char* cbmpcore_version(void);

/* Progress of one call: `done` of `total` bytes of the payload (colour table and pixels), first
 * with done 0, then as the work goes on, and last with done equal to total when it succeeded. */
typedef void (*cbmpcore_progress_fn)(void* context, uint32_t done, uint32_t total);

/* Options of a call; a null pointer means all defaults. Zero-initialise, then set what you need. */
typedef struct cbmpcore_options {
    cbmpcore_progress_fn progress; /* may be null */
    void* progress_context;
    unsigned threads; /* compression threads; 0 = as many as the machine has cores */
    /* Nonzero: a file output, and the rename that puts it in place, are on the disk before the
     * call returns (for callers that remove the input afterwards). */
    int durable;
} cbmpcore_options;

/* What a CBMP file's 60-byte header says. */
typedef struct cbmpcore_info {
    /* The bitmap's info header, as the BMP file had it. */
    uint32_t info_header_size;
    int32_t width;
    int32_t height; /* negative for a top-down bitmap */
    uint16_t planes;
    uint16_t bit_count;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_pixels_per_meter;
    int32_t y_pixels_per_meter;
    uint32_t colors_used;
    uint32_t colors_important;
    /* The container's sizes. */
    uint32_t compressed_size; /* bytes of the compressed stream */
    uint32_t original_size;   /* bytes of colour table and pixels together */
    uint32_t palette_size;    /* bytes of the colour table */
    uint64_t bmp_size;        /* bytes of the BMP file that decompression gives */
} cbmpcore_info;

/* Reads the header of the CBMP file held in `cbmp` (at least its first 60 bytes) without decoding
 * the stream. Fails with CBMPCORE_ERROR_NOT_CBMP, CBMPCORE_ERROR_UNSUPPORTED_VERSION or
 * CBMPCORE_ERROR_CBMP_LAYOUT as decompression would. */
CBMPCORE_API cbmpcore_result cbmpcore_read_info(const uint8_t* cbmp, size_t cbmp_size,
                                                cbmpcore_info* info);

/* Compresses the BMP file held in `bmp` into a new CBMP file in memory. On success *cbmp_out is a
 * buffer of *cbmp_size_out bytes that the caller releases with cbmpcore_free; on failure both are
 * left unchanged. */
CBMPCORE_API cbmpcore_result cbmpcore_compress(const uint8_t* bmp, size_t bmp_size,
                                               uint8_t** cbmp_out, size_t* cbmp_size_out,
                                               const cbmpcore_options* options);

/* Decompresses the CBMP file held in `cbmp` into a new BMP file in memory, as cbmpcore_compress. */
CBMPCORE_API cbmpcore_result cbmpcore_decompress(const uint8_t* cbmp, size_t cbmp_size,
                                                 uint8_t** bmp_out, size_t* bmp_size_out,
                                                 const cbmpcore_options* options);

/* The same two operations between files. The output is replaced only once it is complete: a
 * failure leaves whatever was there before. */
CBMPCORE_API cbmpcore_result cbmpcore_compress_file(const char* input_path,
                                                    const char* output_path,
                                                    const cbmpcore_options* options);
CBMPCORE_API cbmpcore_result cbmpcore_decompress_file(const char* input_path,
                                                      const char* output_path,
                                                      const cbmpcore_options* options);

/* For programs that remove a half-written output when a signal ends them. `created` is called
 * once a file call's temporary output file exists, `finished` once it is gone again (renamed into
 * place or removed); both on the calling thread, with every signal blocked in it. `created` gets
 * a directory descriptor and the temporary's name in that directory (on Windows -1 and a whole
 * path): a signal handler removes it with unlinkat(dir_fd, name, 0). Both stay valid until
 * `finished`. */
typedef struct cbmpcore_temp_observer {
    void (*created)(int dir_fd, const char* name, void* context);
    void (*finished)(void* context);
    void* context;
} cbmpcore_temp_observer;

/* cbmpcore_compress_file and cbmpcore_decompress_file, telling `observer` (may be null) about the
 * temporary output file. */
CBMPCORE_API cbmpcore_result cbmpcore_compress_file_observed(
    const char* input_path, const char* output_path, const cbmpcore_options* options,
    const cbmpcore_temp_observer* observer);
CBMPCORE_API cbmpcore_result cbmpcore_decompress_file_observed(
    const char* input_path, const char* output_path, const cbmpcore_options* options,
    const cbmpcore_temp_observer* observer);

/* Releases a buffer returned by this library; null is ignored. */
CBMPCORE_API void cbmpcore_free(void* buffer);

#ifdef __cplusplus
}
#endif

#endif /* CBMPCORE_H */
