/*
 * cbmp: lossless conversion between uncompressed Windows bitmaps (BMP) and CBMP files.
 *
 * The library has two entry points. Each takes an input and an output path as NUL-terminated
 * UTF-16 strings, runs one whole operation and reports progress, results and errors as text
 * lines on the standard output and standard error streams.
 *
 * Return values: 999 means the operation ran; whether it succeeded is reported only on the
 * console. 1 means it could not start: the input BMP could not be read (BMPCompact), the image
 * record could not be allocated (BMPDecompact), or a path was null.
 *
 * The functions keep no state between calls and share none, so several threads may call them at
 * once on different files; only their console lines interleave.
 */
#ifndef CBMP_H
#define CBMP_H

#define CBMP_VERSION_MAJOR 1
#define CBMP_VERSION_MINOR 0
#define CBMP_VERSION_PATCH 0
#define CBMP_VERSION_TWEAK 1

/* Path characters: UTF-16 code units. */
#if defined(_WIN32)
typedef wchar_t cbmp_path_char;
#elif defined(__cplusplus)
typedef char16_t cbmp_path_char;
#else
#include <uchar.h>
typedef char16_t cbmp_path_char;
#endif

#if defined(_WIN32)
#if defined(CBMP_BUILDING_LIBRARY)
#define CBMP_API __declspec(dllexport)
#else
#define CBMP_API __declspec(dllimport)
#endif
#define CBMP_CALL __cdecl
#else
#define CBMP_API __attribute__((visibility("default")))
#define CBMP_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Compresses the BMP file `input` into the CBMP file `output`.
 * Returns 999 once the BMP was read and the compression attempted, whatever its outcome;
 * 1 when reading the BMP failed or a path is null.
 */
CBMP_API int CBMP_CALL BMPCompact(const cbmp_path_char* input, const cbmp_path_char* output);

/*
 * Decompresses the CBMP file `input` into the BMP file `output`.
 * Returns 999 once the decompression was attempted, whatever its outcome;
 * 1 when the image record could not be allocated or a path is null.
 */
CBMP_API int CBMP_CALL BMPDecompact(const cbmp_path_char* input, const cbmp_path_char* output);

#ifdef __cplusplus
}
#endif

#endif /* CBMP_H */
